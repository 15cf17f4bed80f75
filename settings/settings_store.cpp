#include "settings/settings_store.h"

void LoadSettings(CKeyStore& store, CindralSettings& settings) {
    settings.detector_colour = 0;
    settings.threshold = 20;
    settings.camera_name.clear();
    settings.saving_mode = kSavingOff;
    // Our choices where nothing is stored: the common VGA size, the camera's own rate, no overlay.
    settings.frame_width = 640;
    settings.frame_height = 480;
    settings.frame_duration_100ns = 0;
    settings.show_detector = 0;

    std::optional<CRegistryKey> key = store.CreateKey(kSettingsKeyPath);
    if (!key) return;

    // The size is taken only as a pair.
    const std::optional<uint32_t> width = QueryDword(*key, "WEB Camera Size X");
    const std::optional<uint32_t> height = width ? QueryDword(*key, "WEB Camera Size Y") : std::nullopt;
    if (width && height) {
        settings.frame_width = static_cast<int32_t>(*width);
        settings.frame_height = static_cast<int32_t>(*height);
    }
    if (const auto mode = QueryDword(*key, "Save Flag")) settings.saving_mode = static_cast<int32_t>(*mode);
    if (const auto threshold = QueryDword(*key, "Treshold")) settings.threshold = static_cast<int32_t>(*threshold);
    if (const auto show = QueryDword(*key, "Motion Detector Show"))
        settings.show_detector = static_cast<int32_t>(*show);
    if (const auto colour = QueryDword(*key, "Motion Detector"))
        settings.detector_colour = static_cast<uint16_t>(*colour);
    // A REG_DWORD of this name is not taken: the duration needs all 64 bits.
    if (const auto duration = QueryQword(*key, "WEB Camera Frequency")) {
        settings.frame_duration_100ns = static_cast<int64_t>(*duration);
    }

    const std::optional<CRegistryKey> camera_key = store.OpenKey(kCameraKeyPath);
    if (!camera_key) return;
    if (auto camera = QueryText(*camera_key, "Camera DShow Src")) settings.camera_name = std::move(*camera);
}

void SaveSettings(CKeyStore& store, const CindralSettings& settings) {
    if (std::optional<CRegistryKey> key = store.OpenKey(kSettingsKeyPath)) {
        SetDword(*key, "WEB Camera Size X", static_cast<uint32_t>(settings.frame_width.load()));
        SetDword(*key, "WEB Camera Size Y", static_cast<uint32_t>(settings.frame_height.load()));
        SetQword(*key, "WEB Camera Frequency", static_cast<uint64_t>(settings.frame_duration_100ns.load()));
        SetDword(*key, "Save Flag", static_cast<uint32_t>(settings.saving_mode.load()));
        SetDword(*key, "Motion Detector Show", static_cast<uint32_t>(settings.show_detector.load()));
        SetDword(*key, "Motion Detector", settings.detector_colour.load());
        SetDword(*key, "Treshold", static_cast<uint32_t>(settings.threshold.load()));
    }
    // The camera name is written even when the Settings key could not be opened.
    if (std::optional<CRegistryKey> key = store.CreateKey(kCameraKeyPath))
        SetText(*key, "Camera DShow Src", settings.camera_name);
}
