#include "storage/byte_size.h"

#include <cmath>
#include <cstdio>

std::optional<uint64_t> ParseByteSize(std::string_view text) {
    size_t at = 0;
    uint64_t whole = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (whole > (UINT64_MAX - 9) / 10) return std::nullopt;
        whole = whole * 10 + static_cast<uint64_t>(text[at++] - '0');
    }
    if (at == 0) return std::nullopt;
    // A fraction of up to nine digits; more would only be noise below a byte of a terabyte.
    uint64_t fraction = 0;
    uint64_t fraction_scale = 1;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (fraction_scale < 1000000000) {
                fraction = fraction * 10 + static_cast<uint64_t>(text[at] - '0');
                fraction_scale *= 10;
            }
            ++at;
        }
        if (at == first) return std::nullopt;
    }
    int shift = 0;
    if (at < text.size()) {
        switch (text[at] | 0x20) {
            case 'k': shift = 10; break;
            case 'm': shift = 20; break;
            case 'g': shift = 30; break;
            case 't': shift = 40; break;
            case 'b': shift = -1; break;
            default: return std::nullopt;
        }
        ++at;
        if (shift > 0 && at < text.size() && (text[at] | 0x20) == 'b') ++at;
        if (shift < 0) shift = 0;
    }
    if (at != text.size()) return std::nullopt;
    if (shift > 0 && whole > (UINT64_MAX >> shift)) return std::nullopt;
    const uint64_t bytes = whole << shift;
    // The fraction of the unit, rounded down to whole bytes.
    const auto fraction_bytes = static_cast<uint64_t>(
        std::floor(static_cast<long double>(fraction) * static_cast<long double>(uint64_t{1} << shift) /
                   static_cast<long double>(fraction_scale)));
    if (bytes > UINT64_MAX - fraction_bytes) return std::nullopt;
    return bytes + fraction_bytes;
}

std::string FormatByteSize(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", std::floor(value * 10.0) / 10.0, kUnits[unit]);
    return text;
}
