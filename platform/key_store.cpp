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
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kRoot = "HKEY_CURRENT_USER";

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c == '\0' || c == '\n' || c == '\r'; });
}

// A key path with single backslashes between non-empty parts; nothing if it is not one.
std::optional<std::string> NormaliseKeyPath(std::string_view path) {
    if (path.empty() || HasControlCharacter(path)) return std::nullopt;
    size_t start = 0;
    while (true) {
        const size_t end = path.find('\\', start);
        const size_t length = (end == std::string_view::npos ? path.size() : end) - start;
        if (length == 0) return std::nullopt;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return std::string(path);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

std::string Quote(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// Reads a quoted text at the start of line; advances line past it.
bool ReadQuoted(std::string_view& line, std::string& text) {
    if (line.empty() || line.front() != '"') return false;
    text.clear();
    for (size_t i = 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            line.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"')) return false;
            text += line[++i];
        } else {
            text += c;
        }
    }
    return false;
}

bool ParseHexNumber(std::string_view digits, size_t max_digits, uint64_t& number) {
    if (digits.empty() || digits.size() > max_digits) return false;
    number = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        number = number * 16 + static_cast<uint64_t>(digit);
    }
    return true;
}

bool ParseHexBytes(std::string_view list, std::vector<uint8_t>& bytes) {
    bytes.clear();
    list = Trim(list);
    if (list.empty()) return true;
    size_t start = 0;
    while (true) {
        const size_t comma = list.find(',', start);
        const size_t item_length = comma == std::string_view::npos ? std::string_view::npos : comma - start;
        const std::string_view item = Trim(list.substr(start, item_length));
        uint64_t number = 0;
        if (!ParseHexNumber(item, 2, number)) {
            // A trailing comma (left by a line continuation) ends the list.
            return item.empty() && comma == std::string_view::npos && !bytes.empty();
        }
        bytes.push_back(static_cast<uint8_t>(number));
        if (comma == std::string_view::npos) return true;
        start = comma + 1;
    }
}

std::string HexList(const std::vector<uint8_t>& bytes) {
    std::string list;
    char item[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, i == 0 ? "%02x" : ",%02x", bytes[i]);
        list += item;
    }
    return list;
}

bool IsPlainText(const std::vector<uint8_t>& bytes) {
    if (bytes.empty() || bytes.back() != 0) return false;
    return std::none_of(bytes.begin(), bytes.end() - 1, [](uint8_t b) { return b == 0 || b == '\n' || b == '\r'; });
}

std::string FormatValue(const RegistryValue& value) {
    if (value.type == REG_SZ && IsPlainText(value.bytes)) {
        return Quote(std::string_view(reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size() - 1));
    }
    if (value.type == REG_DWORD && value.bytes.size() == 4) {
        const uint32_t number = value.bytes[0] | (value.bytes[1] << 8) | (value.bytes[2] << 16) |
                                (static_cast<uint32_t>(value.bytes[3]) << 24);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", number);
        return text;
    }
    if (value.type == REG_BINARY) return "hex:" + HexList(value.bytes);
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    return prefix + HexList(value.bytes);
}

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

// UTF-16LE after its byte-order mark, as the registry editor exports, to UTF-8. False (with
// what could be read) when the bytes are not whole UTF-16.
bool Utf16LeToUtf8(std::string_view bytes, std::string& text) {
    text.clear();
    bool is_whole = bytes.size() % 2 == 0;
    const auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
               (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8);
    };
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        uint32_t code = unit(i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            is_whole = false;
            code = 0xFFFD;
        }
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (code >> 18));
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return is_whole;
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

CKeyStore::Value* CKeyStore::Key::Find(std::string_view name) {
    const auto it = by_name.find(Lower(name));
    return it == by_name.end() ? nullptr : &*it->second;
}

void CKeyStore::Key::Put(std::string_view name, RegistryValue data) {
    auto [it, is_new] = by_name.try_emplace(Lower(name));
    if (!is_new) {
        it->second->data = std::move(data);
        return;
    }
    it->second = values.insert(values.end(), Value{std::string(name), std::move(data)});
}

void CKeyStore::Key::Remove(std::string_view name) {
    const auto it = by_name.find(Lower(name));
    if (it == by_name.end()) return;
    values.erase(it->second);
    by_name.erase(it);
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
    std::string utf8;
    const bool is_utf16 = content.starts_with("\xFF\xFE");
    const bool is_whole_utf16 = is_utf16 && Utf16LeToUtf8(content, utf8);
    std::vector<BadLine> bad_lines = Parse(is_utf16 ? utf8 : content);
    if (is_utf16 && !is_whole_utf16) bad_lines.insert(bad_lines.begin(), {1, "broken UTF-16 text"});
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

std::vector<CKeyStore::BadLine> CKeyStore::Parse(const std::string& text) {
    std::vector<BadLine> bad_lines;
    std::string_view rest = text;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);

    size_t line_number = 0;
    bool is_header_seen = false;
    Key* section = nullptr;
    while (!rest.empty()) {
        // Gather one logical line: a trailing backslash continues it on the next line.
        std::string line;
        const size_t first_line = line_number + 1;
        bool is_cut = false;  // the file ends without the line's newline
        while (!rest.empty()) {
            const size_t end = rest.find('\n');
            is_cut = end == std::string_view::npos;
            std::string_view physical = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            ++line_number;
            physical = Trim(physical);
            if (!physical.empty() && physical.back() == '\\' && !rest.empty()) {
                physical.remove_suffix(1);
                line += physical;
                continue;
            }
            line += physical;
            break;
        }
        const std::string_view logical = line;
        if (logical.empty() || logical.front() == ';') continue;
        // A bad line costs only itself (a bad key line, the values up to the next key).
        const auto skip = [&](std::string error) { bad_lines.push_back({first_line, std::move(error)}); };
        if (logical.find('\0') != std::string_view::npos) {
            // Taken, a text would end at the NUL without a word.
            skip("NUL byte in the line");
            continue;
        }
        if (is_cut) {
            // Every line this store writes ends with a newline: a file that stops inside one was cut short.
            skip("file ends inside a line");
            continue;
        }

        if (!is_header_seen) {
            is_header_seen = true;
            if (logical == kHeader || logical == kOldHeader) continue;
            // Without its header line the keys and values that follow are still read.
            skip("not a registry export");
            if (logical.front() != '[') continue;
        }

        if (logical.front() == '[') {
            // The values after a bad key line have no key to go to.
            section = nullptr;
            if (logical.back() != ']' || logical.size() < 3) {
                skip("unterminated key name");
                continue;
            }
            std::string_view name = logical.substr(1, logical.size() - 2);
            const bool is_removal = name.front() == '-';
            if (is_removal) name.remove_prefix(1);
            if (!EqualsIgnoringCase(name.substr(0, kRoot.size()), kRoot) ||
                (name.size() > kRoot.size() && name[kRoot.size()] != '\\')) {
                skip("key outside " + std::string(kRoot));
                continue;
            }
            name.remove_prefix(std::min(name.size(), kRoot.size() + 1));
            std::optional<std::string> path = name.empty() ? std::optional<std::string>("") : NormaliseKeyPath(name);
            if (!path) {
                skip("malformed key name");
                continue;
            }
            const std::string lower = Lower(*path);
            if (is_removal) {
                // The key and its subkeys, which sort together after "key\\".
                if (lower.empty()) {
                    keys_.clear();
                } else {
                    keys_.erase(lower);
                    const std::string below = lower + "\\";
                    auto it = keys_.lower_bound(below);
                    while (it != keys_.end() && it->first.starts_with(below)) it = keys_.erase(it);
                }
                section = nullptr;
            } else {
                auto [it, is_new] = keys_.try_emplace(lower);
                if (is_new) it->second.path = *path;
                section = &it->second;
            }
            continue;
        }

        // A value line: "name"=data or @=data.
        std::string_view cursor = logical;
        std::string name;
        if (cursor.front() == '@') {
            cursor.remove_prefix(1);
        } else if (!ReadQuoted(cursor, name)) {
            skip("malformed value name");
            continue;
        }
        cursor = Trim(cursor);
        if (cursor.empty() || cursor.front() != '=') {
            skip("missing '=' after value name");
            continue;
        }
        cursor = Trim(cursor.substr(1));
        if (section == nullptr) {
            skip("value outside a key");
            continue;
        }

        if (cursor == "-") {
            section->Remove(name);
            continue;
        }
        RegistryValue value;
        if (!cursor.empty() && cursor.front() == '"') {
            std::string content;
            if (!ReadQuoted(cursor, content) || !Trim(cursor).empty()) {
                skip("malformed text value");
                continue;
            }
            value.type = REG_SZ;
            value.bytes.assign(content.begin(), content.end());
            value.bytes.push_back(0);
        } else if (cursor.starts_with("dword:")) {
            uint64_t number = 0;
            if (!ParseHexNumber(Trim(cursor.substr(6)), 8, number)) {
                skip("malformed dword value");
                continue;
            }
            value.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) value.bytes.push_back(static_cast<uint8_t>(number >> (8 * i)));
        } else if (cursor.starts_with("hex")) {
            cursor.remove_prefix(3);
            uint64_t type = REG_BINARY;
            if (!cursor.empty() && cursor.front() == '(') {
                const size_t close = cursor.find(')');
                if (close == std::string_view::npos || !ParseHexNumber(cursor.substr(1, close - 1), 8, type)) {
                    skip("malformed value type");
                    continue;
                }
                cursor.remove_prefix(close + 1);
            }
            if (cursor.empty() || cursor.front() != ':' || !ParseHexBytes(cursor.substr(1), value.bytes)) {
                skip("malformed hexadecimal value");
                continue;
            }
            value.type = static_cast<uint32_t>(type);
        } else {
            skip("unknown value form");
            continue;
        }
        section->Put(name, std::move(value));
    }
    if (!is_header_seen) bad_lines.push_back({line_number == 0 ? 1 : line_number, "empty file"});
    return bad_lines;
}

std::string CKeyStore::ExportText() const {
    std::lock_guard lock(mutex_);
    return ExportTextLocked();
}

std::string CKeyStore::ExportTextLocked() const {
    std::string text = std::string(kHeader) + "\n\n";
    for (const auto& [lower, key] : keys_) {
        text += "[" + std::string(kRoot) + (key.path.empty() ? "" : "\\" + key.path) + "]\n";
        for (const Value& value : key.values) {
            text += (value.name.empty() ? std::string("@") : Quote(value.name)) + "=" + FormatValue(value.data) + "\n";
        }
        text += "\n";
    }
    return text;
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

    const std::string text = ExportTextLocked();
    std::string write_error;
    if (!ReplacePrivateFile(target, text, &write_error)) {
        Warn("settings not saved: " + write_error);
        return false;
    }
    is_damaged_ = false;
    return true;
}

CKeyStore::Key* CKeyStore::FindKey(std::string_view path) {
    auto it = keys_.find(Lower(path));
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
        auto [it, is_new] = keys_.try_emplace(Lower(prefix));
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
    Key* key = FindKey(key_path);
    if (key == nullptr) return std::nullopt;
    const Value* value = key->Find(name);
    return value ? std::optional<RegistryValue>(value->data) : std::nullopt;
}

bool CKeyStore::Set(const std::string& key_path, std::string_view name, uint32_t type, std::span<const uint8_t> bytes) {
    if (HasControlCharacter(name)) return false;
    std::lock_guard lock(mutex_);
    Key* key = FindKey(key_path);
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
