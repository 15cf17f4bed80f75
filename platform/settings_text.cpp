#include "platform/settings_text.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kRoot = "HKEY_CURRENT_USER";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && LowerSettingsName(a) == LowerSettingsName(b);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
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

std::string Quote(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
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

}  // namespace

std::string LowerSettingsName(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c == '\0' || c == '\n' || c == '\r'; });
}

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

SettingsValue* SettingsKey::Find(std::string_view name) {
    const auto it = by_name.find(LowerSettingsName(name));
    return it == by_name.end() ? nullptr : &*it->second;
}

void SettingsKey::Put(std::string_view name, RegistryValue data) {
    auto [it, is_new] = by_name.try_emplace(LowerSettingsName(name));
    if (!is_new) {
        it->second->data = std::move(data);
        return;
    }
    it->second = values.insert(values.end(), SettingsValue{std::string(name), std::move(data)});
}

void SettingsKey::Remove(std::string_view name) {
    const auto it = by_name.find(LowerSettingsName(name));
    if (it == by_name.end()) return;
    values.erase(it->second);
    by_name.erase(it);
}

ParsedSettings ParseSettingsText(std::string_view bytes) {
    ParsedSettings parsed;
    std::vector<BadSettingsLine>& bad_lines = parsed.bad_lines;
    SettingsKeys& keys = parsed.keys;
    std::string utf8;
    const bool is_utf16 = bytes.starts_with("\xFF\xFE");
    const bool is_whole_utf16 = is_utf16 && Utf16LeToUtf8(bytes, utf8);
    std::string_view rest = is_utf16 ? std::string_view(utf8) : bytes;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);

    size_t line_number = 0;
    bool is_header_seen = false;
    SettingsKey* section = nullptr;
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
            const std::string lower = LowerSettingsName(*path);
            if (is_removal) {
                // The key and its subkeys, which sort together after "key\\".
                if (lower.empty()) {
                    keys.clear();
                } else {
                    keys.erase(lower);
                    const std::string below = lower + "\\";
                    auto it = keys.lower_bound(below);
                    while (it != keys.end() && it->first.starts_with(below)) it = keys.erase(it);
                }
                section = nullptr;
            } else {
                auto [it, is_new] = keys.try_emplace(lower);
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
    if (is_utf16 && !is_whole_utf16) bad_lines.insert(bad_lines.begin(), {1, "broken UTF-16 text"});
    return parsed;
}

std::string FormatSettingsText(const SettingsKeys& keys) {
    std::string text = std::string(kHeader) + "\n\n";
    for (const auto& [lower, key] : keys) {
        text += "[" + std::string(kRoot) + (key.path.empty() ? "" : "\\" + key.path) + "]\n";
        for (const SettingsValue& value : key.values) {
            text += (value.name.empty() ? std::string("@") : Quote(value.name)) + "=" + FormatValue(value.data) + "\n";
        }
        text += "\n";
    }
    return text;
}
