#include "app/view_settings.h"

namespace {

constexpr const char* kKeepAspectRatioValue = "Keep Aspect Ratio";  // 0 or 1

}  // namespace

void LoadViewSettings(CKeyStore& store, ViewSettings& settings) {
    settings = ViewSettings{};
    const std::optional<CRegistryKey> key = store.OpenKey(kViewKeyPath);
    if (!key) return;
    if (const auto kept = QueryDword(*key, kKeepAspectRatioValue)) settings.is_aspect_ratio_kept = *kept != 0;
}

bool SaveViewSettings(CKeyStore& store, const ViewSettings& settings) {
    std::optional<CRegistryKey> key = store.CreateKey(kViewKeyPath);
    return key && SetDword(*key, kKeepAspectRatioValue, settings.is_aspect_ratio_kept ? 1 : 0);
}
