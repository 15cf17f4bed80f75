#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr uint64_t kBytesPerGiB = uint64_t{1} << 30;

// "1536", "512K", "1.5G", "2T": bytes, or a number with a K, M, G or T suffix (powers of 1024,
// either letter case, an optional trailing "B"). Nothing for anything else or beyond 2^64.
std::optional<uint64_t> ParseByteSize(std::string_view text);

// "812 bytes", "1.4 KB", "23.0 GB": powers of 1024, one decimal from KB on.
std::string FormatByteSize(uint64_t bytes);
