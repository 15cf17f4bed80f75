#pragma once

#include "platform/key_store.h"
#include "settings/settings.h"

// Where the settings live below the current user's root.
inline constexpr const char* kSettingsKeyPath = "Software\\Tovamesh\\Cindral\\Settings";
inline constexpr const char* kCameraKeyPath = "Software\\Tovamesh\\Cindral\\TwainSources";

// Sets the defaults, then takes every value of the right type from the store; values that are
// missing or of another type leave their setting at the default. Creates the Settings key.
void LoadSettings(CKeyStore& store, CindralSettings& settings);

// Writes the seven detector and camera-format values (only if the Settings key exists) and the
// camera name (creating its key). Failures are reported by the store on standard error.
void SaveSettings(CKeyStore& store, const CindralSettings& settings);
