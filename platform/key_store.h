#pragma once

#include "platform/settings_text.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CKeyStore;

// An open key of the store. Cheap to copy; valid while its store lives.
class CRegistryKey {
public:
    // The value with its type and all its bytes; nothing when the value does not exist.
    std::optional<RegistryValue> QueryValue(std::string_view name) const;
    // Stores the value and writes the store's file; false when the file could not be written
    // (the value is kept in memory all the same).
    bool SetValue(std::string_view name, uint32_t type, std::span<const uint8_t> bytes);
    const std::string& Path() const { return path_; }

private:
    friend class CKeyStore;
    CRegistryKey(CKeyStore& store, std::string path) : store_(&store), path_(std::move(path)) {}

    CKeyStore* store_;
    std::string path_;
};

// The per-user key store: keys and typed values under the current user's root, kept in a UTF-8
// text file in the registry-export syntax (platform/settings_text.h) and rewritten atomically on
// every change.
// Key and value names compare without regard to ASCII case, as in the registry.
//
// In a damaged or foreign file, the lines that do not parse are left out (after a bad key line,
// the values up to the next key), one warning goes to standard error, and the file as read is
// kept as "<file>.bad" before the store first rewrites it. A file without its header line is
// read all the same, as damaged; a UTF-16LE file with its byte-order mark is read like UTF-8.
// A file larger than kMaxFileBytes, or anything but a regular file (a FIFO, a device, a link to
// one), is not read: it is damaged as a whole, and moved aside as ".bad". It is opened without
// blocking and never more than kMaxFileBytes are read. A line with a NUL byte is damaged (a text
// would end there unseen). A file that exists but cannot be read, or a folder, is never
// overwritten. The file and its ".bad" copy are written for their owner alone (mode 0600): they
// may hold the web password's hash.
class CKeyStore {
public:
    // $XDG_CONFIG_HOME/Tovamesh/Cindral.reg, with ~/.config when the variable is unset or relative.
    static std::filesystem::path DefaultFilePath();
    // Settings take a few kilobytes; anything beyond this is not a settings file of ours.
    static constexpr uint64_t kMaxFileBytes = 1024 * 1024;

    // is_damage_told: a damaged file has been warned of already in this run (by an earlier
    // store on the same file); no second warning.
    explicit CKeyStore(std::filesystem::path file_path, bool is_damage_told = false);
    CKeyStore(const CKeyStore&) = delete;
    CKeyStore& operator=(const CKeyStore&) = delete;

    // Create-or-open of a key below the current user's root ("Software\\Maker\\Program");
    // missing parent keys are created as well. Nothing when the path is not a valid key name
    // or the new key could not be written to the file.
    std::optional<CRegistryKey> CreateKey(std::string_view path);
    // Open-only: nothing when the key does not exist.
    std::optional<CRegistryKey> OpenKey(std::string_view path);

    const std::filesystem::path& FilePath() const { return file_path_; }
    // True when the file on disk did not parse to its end (or could not be read).
    bool IsDamaged() const { return is_damaged_; }

    // The file's text as it would be written now.
    std::string ExportText() const;

private:
    friend class CRegistryKey;
    void Load(bool is_damage_told);
    bool Persist();
    SettingsKey* FindKey(std::string_view path);
    std::optional<RegistryValue> Query(const std::string& key_path, std::string_view name);
    bool Set(const std::string& key_path, std::string_view name, uint32_t type, std::span<const uint8_t> bytes);

    std::filesystem::path file_path_;
    mutable std::mutex mutex_;
    SettingsKeys keys_;
    bool is_damaged_ = false;
    bool is_backup_pending_ = false;  // the damaged file still has to be kept as .bad
    bool is_backup_moved_ = false;    // too large to hold: kept by renaming it
    std::string damaged_text_;        // the damaged file as it was read, until it is kept
    bool is_write_refusal_told_ = false;
    bool is_write_forbidden_ = false;  // the file exists but could not be read
};

// Typed values of a key. A query gives nothing for a missing value and for one of another type
// or size; a text is taken up to its first NUL byte (REG_EXPAND_SZ as it is, not expanded).
std::optional<uint32_t> QueryDword(const CRegistryKey& key, std::string_view name);
std::optional<uint64_t> QueryQword(const CRegistryKey& key, std::string_view name);
std::optional<std::string> QueryText(const CRegistryKey& key, std::string_view name);
// False when the store's file could not be written (the value is kept in memory all the same).
bool SetDword(CRegistryKey& key, std::string_view name, uint32_t number);
bool SetQword(CRegistryKey& key, std::string_view name, uint64_t number);
// REG_SZ with its terminating NUL byte counted.
bool SetText(CRegistryKey& key, std::string_view name, const std::string& text);
