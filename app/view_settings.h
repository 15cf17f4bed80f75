#pragma once

#include "platform/key_store.h"

// The view's settings of our own, in a key beside the program's eight so that their order stays
// as it is.
inline constexpr const char* kViewKeyPath = "Software\\Tovamesh\\Cindral\\View";

struct ViewSettings {
    bool is_aspect_ratio_kept = false;  // "Keep Aspect Ratio"; off: the picture is stretched
    bool is_recorded_speed = false;     // "Play at Recorded Speed"; off: 10 frames a second
};

// Missing values, or values of another type, keep their defaults; the key is not created by reading.
void LoadViewSettings(CKeyStore& store, ViewSettings& settings);
// False when the settings file could not be written.
bool SaveViewSettings(CKeyStore& store, const ViewSettings& settings);
