#include "storage/storage_settings.h"

namespace {

constexpr const char* kFolderValue = "Folder";
// Bytes; 0 stands for a limit that is off.
constexpr const char* kMaxTotalValue = "Keep Under Bytes";
constexpr const char* kMinFreeValue = "Keep Free Bytes";

std::optional<uint64_t> LimitFrom(uint64_t stored) { return stored == 0 ? std::nullopt : std::optional(stored); }

}  // namespace

void LoadStorageSettings(CKeyStore& store, StorageSettings& settings) {
    settings = StorageSettings{};
    const std::optional<CRegistryKey> key = store.OpenKey(kStorageKeyPath);
    if (!key) return;
    if (auto folder = QueryText(*key, kFolderValue)) settings.chosen_folder = std::move(*folder);
    if (const auto bytes = QueryQword(*key, kMaxTotalValue)) settings.limits.max_total_bytes = LimitFrom(*bytes);
    if (const auto bytes = QueryQword(*key, kMinFreeValue)) settings.limits.min_free_bytes = LimitFrom(*bytes);
}

bool SaveStorageSettings(CKeyStore& store, const StorageSettings& settings) {
    std::optional<CRegistryKey> key = store.CreateKey(kStorageKeyPath);
    if (!key) return false;
    bool is_saved = SetText(*key, kFolderValue, settings.chosen_folder);
    is_saved = SetQword(*key, kMaxTotalValue, settings.limits.max_total_bytes.value_or(0)) && is_saved;
    is_saved = SetQword(*key, kMinFreeValue, settings.limits.min_free_bytes.value_or(0)) && is_saved;
    return is_saved;
}
