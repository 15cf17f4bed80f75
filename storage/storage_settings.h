#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/key_store.h"
#include "storage/byte_size.h"

// Settings of our own, in a key beside the program's eight so that their order stays as it is.
inline constexpr const char* kStorageKeyPath = "Software\\Tovamesh\\Cindral\\Storage";

// Each limit is optional; while one is passed the oldest archives are deleted.
struct RetentionLimits {
    std::optional<uint64_t> max_total_bytes;  // "Keep recordings under"
    std::optional<uint64_t> min_free_bytes;   // "Keep at least ... free"
    bool IsAnySet() const { return max_total_bytes.has_value() || min_free_bytes.has_value(); }
    friend bool operator==(const RetentionLimits&, const RetentionLimits&) = default;
};

// Only the free space, at 1 GB.
inline RetentionLimits DefaultRetentionLimits() { return RetentionLimits{std::nullopt, kBytesPerGiB}; }

struct StorageSettings {
    std::string chosen_folder;  // empty: none chosen
    RetentionLimits limits = DefaultRetentionLimits();
};

// Missing values keep their defaults; the key is not created by reading.
void LoadStorageSettings(CKeyStore& store, StorageSettings& settings);
// False when the settings file could not be written.
bool SaveStorageSettings(CKeyStore& store, const StorageSettings& settings);
