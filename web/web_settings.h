#pragma once

#include <cstdint>
#include <string>

#include "platform/key_store.h"
#include "web/web_server.h"

// Remote viewing's settings, in a key of their own beside the program's.
inline constexpr const char* kRemoteViewingKeyPath = "Software\\Tovamesh\\Cindral\\Remote Viewing";
inline constexpr uint16_t kDefaultWebPort = 8642;

struct RemoteViewingSettings {
    bool is_enabled = false;       // off until the user turns it on
    bool is_all_networks = false;  // else this computer only (127.0.0.1 and ::1)
    uint16_t port = kDefaultWebPort;
    std::string user;
    std::string password_hash;      // HashPassword's record; the password itself is never kept
    bool is_insecure_http = false;  // plain HTTP on all networks, confirmed by the user
    friend bool operator==(const RemoteViewingSettings&, const RemoteViewingSettings&) = default;
};

// Missing values keep their defaults; the key is not created by reading.
void LoadRemoteViewingSettings(CKeyStore& store, RemoteViewingSettings& settings);
// False when the settings file could not be written.
bool SaveRemoteViewingSettings(CKeyStore& store, const RemoteViewingSettings& settings);

// The server's options for settings: on all networks HTTPS with a certificate made at first use
// in settings_folder (unless plain HTTP was confirmed), its fingerprint in fingerprint. False
// with error set when they cannot be served (ListenRefusal's words, or the certificate's).
bool RemoteViewingServerOptions(const RemoteViewingSettings& settings, const std::string& settings_folder,
                                WebServerOptions& options, std::string& fingerprint, std::string& error);

// The QR code of text as rows of dark (true) and light modules, width x width; empty when it
// cannot be made.
std::vector<bool> QrCodeModules(const std::string& text, int& width);
