#include "app/view_settings.h"

namespace {

constexpr const char* kKeepAspectRatioValue = "Keep Aspect Ratio";     // 0 or 1
constexpr const char* kRecordedSpeedValue = "Play at Recorded Speed";  // 0 or 1

}  // namespace

void LoadViewSettings(CKeyStore& store, ViewSettings& settings) {
    settings = ViewSettings{};
    const std::optional<CRegistryKey> key = store.OpenKey(kViewKeyPath);
    if (!key) return;
    if (const auto kept = QueryDword(*key, kKeepAspectRatioValue)) settings.is_aspect_ratio_kept = *kept != 0;
    if (const auto recorded = QueryDword(*key, kRecordedSpeedValue)) settings.is_recorded_speed = *recorded != 0;
}

bool SaveViewSettings(CKeyStore& store, const ViewSettings& settings) {
    std::optional<CRegistryKey> key = store.CreateKey(kViewKeyPath);
    return key && SetDword(*key, kKeepAspectRatioValue, settings.is_aspect_ratio_kept ? 1 : 0) &&
           SetDword(*key, kRecordedSpeedValue, settings.is_recorded_speed ? 1 : 0);
}
