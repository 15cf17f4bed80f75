#include "web/web_settings.h"

#include <qrencode.h>

#include <memory>

#include "web/web_tls.h"

namespace {

constexpr const char* kEnabledValue = "Enabled";
constexpr const char* kAllNetworksValue = "All Networks";
constexpr const char* kPortValue = "Port";
constexpr const char* kUserValue = "User";
constexpr const char* kPasswordHashValue = "Password Hash";
constexpr const char* kInsecureHttpValue = "Insecure HTTP";

}  // namespace

void LoadRemoteViewingSettings(CKeyStore& store, RemoteViewingSettings& settings) {
    settings = RemoteViewingSettings{};
    const std::optional<CRegistryKey> key = store.OpenKey(kRemoteViewingKeyPath);
    if (!key) return;
    if (const auto value = QueryDword(*key, kEnabledValue)) settings.is_enabled = *value != 0;
    if (const auto value = QueryDword(*key, kAllNetworksValue)) settings.is_all_networks = *value != 0;
    if (const auto value = QueryDword(*key, kPortValue); value && *value > 0 && *value <= 65535) {
        settings.port = static_cast<uint16_t>(*value);
    }
    if (auto value = QueryText(*key, kUserValue)) settings.user = std::move(*value);
    if (auto value = QueryText(*key, kPasswordHashValue)) settings.password_hash = std::move(*value);
    if (const auto value = QueryDword(*key, kInsecureHttpValue)) settings.is_insecure_http = *value != 0;
}

bool SaveRemoteViewingSettings(CKeyStore& store, const RemoteViewingSettings& settings) {
    std::optional<CRegistryKey> key = store.CreateKey(kRemoteViewingKeyPath);
    if (!key) return false;
    bool is_saved = SetDword(*key, kEnabledValue, settings.is_enabled ? 1 : 0);
    is_saved = SetDword(*key, kAllNetworksValue, settings.is_all_networks ? 1 : 0) && is_saved;
    is_saved = SetDword(*key, kPortValue, settings.port) && is_saved;
    is_saved = SetText(*key, kUserValue, settings.user) && is_saved;
    is_saved = SetText(*key, kPasswordHashValue, settings.password_hash) && is_saved;
    is_saved = SetDword(*key, kInsecureHttpValue, settings.is_insecure_http ? 1 : 0) && is_saved;
    return is_saved;
}

bool RemoteViewingServerOptions(const RemoteViewingSettings& settings, const std::string& settings_folder,
                                WebServerOptions& options, std::string& fingerprint, std::string& error) {
    options = WebServerOptions{};
    options.port = settings.port;
    options.user = settings.user;
    options.password_hash = settings.password_hash;
    fingerprint.clear();
    if (settings.is_all_networks) {
        // IPv6 and, on a dual-stack system, IPv4 too; else IPv4 alone.
        options.addresses = {"::", "0.0.0.0"};
        options.is_insecure_http = settings.is_insecure_http;
        if (!settings.is_insecure_http && !EnsureSelfSignedCertificate(settings_folder, options.tls, error))
            return false;
    }
    error = ListenRefusal(options);
    if (!error.empty()) return false;
    if (!options.tls.certificate_path.empty()) {
        fingerprint = CertificateFingerprint(options.tls.certificate_path, error);
        if (fingerprint.empty()) return false;
    }
    return true;
}

std::vector<bool> QrCodeModules(const std::string& text, int& width) {
    width = 0;
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code) return {};
    width = code->width;
    std::vector<bool> modules(static_cast<size_t>(width) * static_cast<size_t>(width));
    for (size_t i = 0; i < modules.size(); ++i) modules[i] = (code->data[i] & 1) != 0;
    return modules;
}
