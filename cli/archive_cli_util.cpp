#include "cli/archive_cli_util.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "platform/ole_date.h"

namespace archive_cli {

bool ParsedArguments::Has(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::optional<ParsedArguments> ParseArguments(const std::string& command, const std::vector<std::string>& arguments,
                                              const std::vector<std::string>& known_flags) {
    ParsedArguments parsed;
    for (const std::string& argument : arguments) {
        if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
            if (std::find(known_flags.begin(), known_flags.end(), argument) == known_flags.end()) {
                Fail(command, "unknown option '" + argument + "'");
                return std::nullopt;
            }
            parsed.flags.push_back(argument);
        } else {
            parsed.positional.push_back(argument);
        }
    }
    return parsed;
}

std::optional<int32_t> ParseFrameNumber(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int Fail(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "cindral-cli %s: %s\n", command.c_str(), message.c_str());
    return 1;
}

bool OpenArchive(const std::string& command, CFrameArchive& archive, const std::string& path) {
    if (archive.OpenFile(path)) return true;
    Fail(command, archive.GetLastError());
    return false;
}

bool ReachFrame(const std::string& command, CFrameArchive& archive, int32_t frame, bool is_jump) {
    if (frame >= archive.GetFrameCount()) {
        Fail(command, "frame " + std::to_string(frame) + " is out of range: " + archive.GetOpenPath() + " has " +
                          std::to_string(archive.GetFrameCount()) + " frames");
        return false;
    }
    for (int32_t step = is_jump ? frame : 0; step <= frame; ++step) {
        // Every record is indexed when the file opens: each step is a look-up, not a read.
        if (!archive.LocateFrame(step)) {
            Fail(command, archive.GetLastError());
            return false;
        }
    }
    return true;
}

std::string FormatOleDate(double ole_date, bool with_milliseconds) {
    if (!std::isfinite(ole_date) || ole_date < -657434.0 || ole_date > 2958466.0) return "invalid";
    // Whole days and time of day are taken apart first, so that the milliseconds round on their own.
    double whole_days = std::trunc(ole_date);
    int64_t milliseconds = std::llround(std::fabs(ole_date - whole_days) * 86400000.0);
    if (!with_milliseconds) milliseconds = (milliseconds + 500) / 1000 * 1000;
    if (milliseconds >= 86400000) {
        milliseconds -= 86400000;
        whole_days += ole_date >= 0 ? 1 : -1;
    }
    const auto day = OleDateToCalendar(whole_days);
    if (!day) return "invalid";
    char text[48];
    const int seconds = static_cast<int>(milliseconds / 1000);
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", day->year, day->month, day->day, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    std::string result = text;
    if (with_milliseconds) {
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(milliseconds % 1000));
        result += text;
    }
    return result;
}

namespace {

// Length of the valid UTF-8 sequence at the start of text (0 when there is none) and its code point.
size_t Utf8SequenceAt(std::string_view text, uint32_t& code_point) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, minimum = 0x80, code_point = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, minimum = 0x800, code_point = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, minimum = 0x10000, code_point = lead & 0x07;
    else return 0;
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (byte & 0x3F);
    }
    const bool is_surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    return code_point < minimum || code_point > 0x10FFFF || is_surrogate ? 0 : length;
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
    std::string valid;
    std::string_view rest = text;
    while (!rest.empty()) {
        uint32_t code_point = 0;
        const size_t length = Utf8SequenceAt(rest, code_point);
        valid += length == 0 ? std::string_view("\xEF\xBF\xBD") : rest.substr(0, length);
        rest.remove_prefix(length == 0 ? 1 : length);
    }
    return valid;
}

std::string EscapeForTerminal(const std::string& text) {
    std::string escaped;
    std::string_view rest = text;
    char hex[8];
    while (!rest.empty()) {
        uint32_t code_point = 0;
        const size_t length = Utf8SequenceAt(rest, code_point);
        if (length == 0) {
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(rest[0]));
            escaped += hex;
            rest.remove_prefix(1);
            continue;
        }
        if (code_point == '\\') escaped += "\\\\";
        else if (code_point == '\n') escaped += "\\n";
        else if (code_point == '\t') escaped += "\\t";
        else if (code_point < 0x20 || code_point == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", code_point);
            escaped += hex;
        } else if (code_point >= 0x80 && code_point < 0xA0) {
            std::snprintf(hex, sizeof hex, "\\u%04X", code_point);
            escaped += hex;
        } else {
            escaped += rest.substr(0, length);
        }
        rest.remove_prefix(length);
    }
    return escaped;
}

std::string JsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "null";
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : ValidUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\b': quoted += "\\b"; break;
            case '\f': quoted += "\\f"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    quoted += escaped;
                } else {
                    quoted += c;  // valid UTF-8 passes through unchanged
                }
        }
    }
    return quoted + "\"";
}

}  // namespace archive_cli
