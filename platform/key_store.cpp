#include "platform/key_store.h"

#include "platform/posix_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

void Warn(const std::string& message) { std::cerr << "cindral: " << message << '\n'; }

// Replaces path with data in a file only its owner may read: the settings hold the web
// password's hash. False with error set; nothing is left behind then.
bool ReplacePrivateFile(const std::string& path, const std::string& data, std::string* error) {
    CReplacingFile file;
    if (!file.Create(path, true, error)) return false;
    if (::fchmod(file.Fd(), S_IRUSR | S_IWUSR) != 0) {
        if (error) *error = ErrnoMessage("cannot make " + path + " private");
        return false;
    }
    if (!WriteAll(file.Fd(), data.data(), data.size())) {
        if (error) *error = ErrnoMessage("cannot write " + path);
        return false;
    }
    return file.Commit(error);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::optional<RegistryValue> CRegistryKey::QueryValue(std::string_view name) const {
    return store_->Query(path_, name);
}

bool CRegistryKey::SetValue(std::string_view name, uint32_t type, std::span<const uint8_t> bytes) {
    return store_->Set(path_, name, type, bytes);
}

// ---------------------------------------------------------------------------------------------

std::filesystem::path CKeyStore::DefaultFilePath() {
    std::filesystem::path config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            const passwd* user = getpwuid(getuid());
            home = user != nullptr ? user->pw_dir : "/tmp";
        }
        config = std::filesystem::path(home) / ".config";
    }
    return config / "Tovamesh" / "Cindral.reg";
}

CKeyStore::CKeyStore(std::filesystem::path file_path, bool is_damage_told) : file_path_(std::move(file_path)) {
    Load(is_damage_told);
}

void CKeyStore::Load(bool is_damage_told) {
    const auto warn = [&](const std::string& message) {
        if (!is_damage_told) Warn(message);
    };
    const std::string path = file_path_.string();
    // Without blocking: a FIFO or a device at the path must not hold up the start.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!fd.IsOpen() || ::fstat(fd.Get(), &status) != 0) {
        const int error_number = errno;
        if (error_number != ENOENT) {
            warn("cannot read settings file " + path + ": " + ErrnoText(error_number) +
                 "; settings will not be saved over it");
            is_damaged_ = true;
            is_write_forbidden_ = true;
        }
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        warn("cannot read settings file " + path + ": it is a folder; settings will not be saved over it");
        is_damaged_ = true;
        is_write_forbidden_ = true;
        return;
    }
    // Not read at all: parsing is linear, but no settings of ours take this much.
    const auto keep_aside = [&](const std::string& why) {
        is_damaged_ = true;
        is_backup_pending_ = true;
        is_backup_moved_ = true;
        warn("settings file " + path + why + " and is not read; it will be kept as " + path +
             ".bad before it is rewritten");
    };
    const std::string too_large = " is larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
    if (!S_ISREG(status.st_mode)) {
        // A FIFO, a device, a link to one: moved aside like a damaged file.
        keep_aside(" is not a regular file");
        return;
    }
    if (static_cast<uint64_t>(status.st_size) > kMaxFileBytes) {
        keep_aside(too_large);
        return;
    }
    // Never more than the limit, even from a file that grows while it is read.
    std::string content(kMaxFileBytes + 1, '\0');
    size_t got = 0;
    while (got < content.size()) {
        const ssize_t read_now = ::read(fd.Get(), content.data() + got, content.size() - got);
        if (read_now < 0 && errno == EINTR) continue;
        if (read_now < 0) {
            warn(ErrnoMessage("cannot read settings file " + path) + "; settings will not be saved over it");
            is_damaged_ = true;
            is_write_forbidden_ = true;
            return;
        }
        if (read_now == 0) break;
        got += static_cast<size_t>(read_now);
    }
    if (got > kMaxFileBytes) {
        keep_aside(too_large);
        return;
    }
    content.resize(got);
    ParsedSettings parsed = ParseSettingsText(content);
    keys_ = std::move(parsed.keys);
    const std::vector<BadSettingsLine>& bad_lines = parsed.bad_lines;
    if (!bad_lines.empty()) {
        is_damaged_ = true;
        is_backup_pending_ = true;
        damaged_text_ = content;
        // One warning for the whole file, however many lines are bad.
        std::string where = "line" + std::string(bad_lines.size() > 1 ? "s " : " ");
        constexpr size_t kLinesNamed = 5;
        for (size_t i = 0; i < std::min(bad_lines.size(), kLinesNamed); ++i) {
            where += (i == 0 ? "" : ", ") + std::to_string(bad_lines[i].number);
        }
        if (bad_lines.size() > kLinesNamed) where += " and " + std::to_string(bad_lines.size() - kLinesNamed) + " more";
        warn("settings file " + file_path_.string() + " is damaged at " + where + " (" + bad_lines.front().error +
             "); those lines are left out; the file will be kept as " + file_path_.string() +
             ".bad before it is rewritten");
    }
}

std::string CKeyStore::ExportText() const {
    std::lock_guard lock(mutex_);
    return FormatSettingsText(keys_);
}

bool CKeyStore::Persist() {
    const std::string target = file_path_.string();
    if (is_write_forbidden_) {
        // Told once: every setting written would say the same.
        if (!is_write_refusal_told_)
            Warn("settings not saved: " + target + " could not be read, so it is not overwritten");
        is_write_refusal_told_ = true;
        return false;
    }
    std::error_code error;
    const std::filesystem::path folder = file_path_.parent_path().empty() ? "." : file_path_.parent_path();
    std::filesystem::create_directories(folder, error);
    if (error) {
        Warn("settings not saved: cannot create " + folder.string() + ": " + error.message());
        return false;
    }
    if (is_backup_pending_) {
        // The damaged file as it was read; a link at the ".bad" name is replaced, not followed.
        std::string backup_error;
        if (is_backup_moved_) {
            if (::rename(target.c_str(), (target + ".bad").c_str()) != 0) {
                backup_error = ErrnoText(errno);
            }
        } else if (!ReplacePrivateFile(target + ".bad", damaged_text_, &backup_error)) {
            backup_error = backup_error.empty() ? std::string("cannot write it") : backup_error;
        }
        if (!backup_error.empty()) {
            Warn("settings not saved: cannot keep the damaged " + target + " as " + target + ".bad: " + backup_error);
            return false;
        }
        is_backup_pending_ = false;
        damaged_text_.clear();
    }

    const std::string text = FormatSettingsText(keys_);
    std::string write_error;
    if (!ReplacePrivateFile(target, text, &write_error)) {
        Warn("settings not saved: " + write_error);
        return false;
    }
    is_damaged_ = false;
    return true;
}

SettingsKey* CKeyStore::FindKey(std::string_view path) {
    auto it = keys_.find(LowerSettingsName(path));
    return it == keys_.end() ? nullptr : &it->second;
}

std::optional<CRegistryKey> CKeyStore::CreateKey(std::string_view path) {
    const std::optional<std::string> normal = NormaliseKeyPath(path);
    if (!normal) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (FindKey(*normal) != nullptr) return CRegistryKey(*this, *normal);

    // The key and any missing parent, so that the file reads like the registry's own export.
    std::vector<std::string> created;
    for (size_t end = normal->find('\\');; end = normal->find('\\', end + 1)) {
        const std::string prefix = normal->substr(0, end);
        auto [it, is_new] = keys_.try_emplace(LowerSettingsName(prefix));
        if (is_new) {
            it->second.path = prefix;
            created.push_back(it->first);
        }
        if (end == std::string::npos) break;
    }
    if (!Persist()) {
        for (const std::string& lower : created) keys_.erase(lower);
        return std::nullopt;
    }
    return CRegistryKey(*this, *normal);
}

std::optional<CRegistryKey> CKeyStore::OpenKey(std::string_view path) {
    const std::optional<std::string> normal = NormaliseKeyPath(path);
    if (!normal) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (FindKey(*normal) == nullptr) return std::nullopt;
    return CRegistryKey(*this, *normal);
}

std::optional<RegistryValue> CKeyStore::Query(const std::string& key_path, std::string_view name) {
    std::lock_guard lock(mutex_);
    SettingsKey* key = FindKey(key_path);
    if (key == nullptr) return std::nullopt;
    const SettingsValue* value = key->Find(name);
    return value ? std::optional<RegistryValue>(value->data) : std::nullopt;
}

bool CKeyStore::Set(const std::string& key_path, std::string_view name, uint32_t type, std::span<const uint8_t> bytes) {
    if (HasControlCharacter(name)) return false;
    std::lock_guard lock(mutex_);
    SettingsKey* key = FindKey(key_path);
    if (key == nullptr) return false;
    RegistryValue data{type, std::vector<uint8_t>(bytes.begin(), bytes.end())};
    key->Put(name, std::move(data));
    return Persist();
}

// ---------------------------------------------------------------------------------------------

std::optional<uint32_t> QueryDword(const CRegistryKey& key, std::string_view name) {
    const std::optional<RegistryValue> value = key.QueryValue(name);
    if (!value || value->type != REG_DWORD || value->bytes.size() != 4) return std::nullopt;
    const auto& b = value->bytes;
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
           (static_cast<uint32_t>(b[3]) << 24);
}

std::optional<uint64_t> QueryQword(const CRegistryKey& key, std::string_view name) {
    const std::optional<RegistryValue> value = key.QueryValue(name);
    if (!value || value->type != REG_QWORD || value->bytes.size() != 8) return std::nullopt;
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = (number << 8) | value->bytes[static_cast<size_t>(i)];
    return number;
}

std::optional<std::string> QueryText(const CRegistryKey& key, std::string_view name) {
    const std::optional<RegistryValue> value = key.QueryValue(name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    const auto end = std::find(value->bytes.begin(), value->bytes.end(), uint8_t{0});
    return std::string(value->bytes.begin(), end);
}

bool SetDword(CRegistryKey& key, std::string_view name, uint32_t number) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    return key.SetValue(name, REG_DWORD, bytes);
}

bool SetQword(CRegistryKey& key, std::string_view name, uint64_t number) {
    uint8_t bytes[8];
    for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
    return key.SetValue(name, REG_QWORD, bytes);
}

bool SetText(CRegistryKey& key, std::string_view name, const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return key.SetValue(name, REG_SZ, bytes);
}
