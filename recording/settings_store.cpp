#include "recording/settings_store.h"

#include <algorithm>
#include <array>
#include <vector>
#include <cstring>

namespace {

// A REG_DWORD of exactly four bytes, as the settings expect.
std::optional<uint32_t> QueryDword(const CRegistryKey& key, const char* name) {
    const std::optional<RegistryValue> value = key.QueryValue(name);
    if (!value || value->type != REG_DWORD || value->bytes.size() != 4) return std::nullopt;
    const auto& b = value->bytes;
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
           (static_cast<uint32_t>(b[3]) << 24);
}

std::optional<uint64_t> QueryQword(const CRegistryKey& key, const char* name) {
    const std::optional<RegistryValue> value = key.QueryValue(name);
    if (!value || value->type != REG_QWORD || value->bytes.size() != 8) return std::nullopt;
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = (number << 8) | value->bytes[static_cast<size_t>(i)];
    return number;
}

void SetDword(CRegistryKey& key, const char* name, uint32_t number) {
    const std::array<uint8_t, 4> bytes{static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                                       static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    key.SetValue(name, REG_DWORD, bytes);
}

void SetQword(CRegistryKey& key, const char* name, uint64_t number) {
    std::array<uint8_t, 8> bytes{};
    for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
    key.SetValue(name, REG_QWORD, bytes);
}

}  // namespace

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
    if (const auto show = QueryDword(*key, "Motion Detector Show")) settings.show_detector = static_cast<int32_t>(*show);
    if (const auto colour = QueryDword(*key, "Motion Detector")) settings.detector_colour = static_cast<uint16_t>(*colour);
    // A REG_DWORD of this name is not taken: the duration needs all 64 bits.
    if (const auto duration = QueryQword(*key, "WEB Camera Frequency")) {
        settings.frame_duration_100ns = static_cast<int64_t>(*duration);
    }

    const std::optional<CRegistryKey> camera_key = store.OpenKey(kCameraKeyPath);
    if (!camera_key) return;
    const std::optional<RegistryValue> camera = camera_key->QueryValue("Camera DShow Src");
    if (camera && (camera->type == REG_SZ || camera->type == REG_EXPAND_SZ)) {
        // Up to the first NUL byte; an expandable text is taken as it is.
        const auto& bytes = camera->bytes;
        const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
        settings.camera_name.assign(bytes.begin(), end);
    }
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
    if (std::optional<CRegistryKey> key = store.CreateKey(kCameraKeyPath)) {
        std::vector<uint8_t> bytes(settings.camera_name.begin(), settings.camera_name.end());
        bytes.push_back(0);
        key->SetValue("Camera DShow Src", REG_SZ, bytes);
    }
}
