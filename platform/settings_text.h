#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The settings file's text: keys and typed values in the registry-export syntax, read from bytes
// and written back, with no file involved (the key store reads and writes the file).

// Value types, numbered as in registry exports.
enum RegistryValueType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,         // text with its terminating NUL byte
    REG_EXPAND_SZ = 2,  // text with unexpanded variables, terminating NUL byte
    REG_BINARY = 3,
    REG_DWORD = 4,   // 4 bytes, little-endian
    REG_QWORD = 11,  // 8 bytes, little-endian
};

struct RegistryValue {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> bytes;
};

struct SettingsValue {
    std::string name;
    RegistryValue data;
};

// One key's values. Value names compare without regard to ASCII case, as in the registry.
struct SettingsKey {
    SettingsKey() = default;
    SettingsKey(const SettingsKey&) = delete;  // by_name points into values
    SettingsKey& operator=(const SettingsKey&) = delete;
    // The value of that name (any case), or nothing.
    SettingsValue* Find(std::string_view name);
    void Put(std::string_view name, RegistryValue data);
    void Remove(std::string_view name);

    std::string path;                                                             // as first written
    std::list<SettingsValue> values;                                              // in the order they were first set
    std::unordered_map<std::string, std::list<SettingsValue>::iterator> by_name;  // by lower-case name
};

// The keys below the current user's root, by lower-case path ("" is the root itself).
using SettingsKeys = std::map<std::string, SettingsKey>;

struct BadSettingsLine {
    size_t number;  // 1-based
    std::string error;
};

struct ParsedSettings {
    SettingsKeys keys;
    std::vector<BadSettingsLine> bad_lines;  // in file order; empty when the text read whole
};

// Keys and values of a settings file's bytes: UTF-8 (with or without its byte-order mark), or
// UTF-16LE after its byte-order mark as the registry editor exports. The lines that do not parse
// are left out and listed (after a bad key line, the values up to the next key); text without its
// header line is read all the same, with its first line listed as bad. Time is linear in the size.
ParsedSettings ParseSettingsText(std::string_view bytes);

// The text of those keys, which parses back whole to the same keys and values.
std::string FormatSettingsText(const SettingsKeys& keys);

// Key and value names as they are looked up: ASCII letters in lower case.
std::string LowerSettingsName(std::string_view name);
// A key path with single backslashes between non-empty parts; nothing if it is not one.
std::optional<std::string> NormaliseKeyPath(std::string_view path);
// A NUL, CR or LF byte, which no name in the text can hold.
bool HasControlCharacter(std::string_view text);
