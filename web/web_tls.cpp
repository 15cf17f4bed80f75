#include "web/web_tls.h"

#include <glib.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/posix_file.h"

namespace {

constexpr char kCertificateName[] = "cindral-web.crt";
constexpr char kKeyName[] = "cindral-web.key";
constexpr time_t kValiditySeconds = 10LL * 365 * 24 * 3600;

struct CrtDeleter {
    void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
using CrtPtr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CrtDeleter>;
struct KeyDeleter {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, KeyDeleter>;

// A datum GnuTLS allocated.
struct OwnedDatum {
    gnutls_datum_t datum{nullptr, 0};
    ~OwnedDatum() { gnutls_free(datum.data); }
};

bool Failed(int code, const char* step, std::string& error) {
    if (code >= 0) return false;
    error = std::string("cannot ") + step + ": " + gnutls_strerror(code);
    return true;
}

bool ReadFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = ErrnoMessage("cannot read " + path);
        return false;
    }
    std::ostringstream stream;
    stream << file.rdbuf();
    text = stream.str();
    return true;
}

bool WriteFile(const std::string& path, const gnutls_datum_t& data, mode_t mode, std::string& error) {
    CReplacingFile file;
    if (!file.Create(path, true, &error)) return false;
    if (::fchmod(file.Fd(), mode) != 0 || !WriteAll(file.Fd(), data.data, data.size)) {
        error = ErrnoMessage("cannot write " + path);
        return false;
    }
    return file.Commit(&error);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

bool EnsureSelfSignedCertificate(const std::string& folder, TlsFiles& files, std::string& error) {
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    files.certificate_path = base + kCertificateName;
    files.key_path = base + kKeyName;
    if (Exists(files.certificate_path) && Exists(files.key_path)) return true;

    gnutls_x509_privkey_t raw_key = nullptr;
    if (Failed(gnutls_x509_privkey_init(&raw_key), "make a private key", error)) return false;
    const KeyPtr key(raw_key);
    const unsigned bits = gnutls_sec_param_to_pk_bits(GNUTLS_PK_ECDSA, GNUTLS_SEC_PARAM_HIGH);
    if (Failed(gnutls_x509_privkey_generate(key.get(), GNUTLS_PK_ECDSA, bits, 0), "make a private key", error)) {
        return false;
    }
    gnutls_x509_crt_t raw_crt = nullptr;
    if (Failed(gnutls_x509_crt_init(&raw_crt), "make a certificate", error)) return false;
    const CrtPtr crt(raw_crt);

    char host[256] = "localhost";
    if (::gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "localhost");
    unsigned char serial[16];
    if (Failed(gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial), "make a serial number", error)) return false;
    serial[0] &= 0x7f;  // a positive number
    const time_t now = std::time(nullptr);
    const unsigned char loopback4[4] = {127, 0, 0, 1};
    unsigned char loopback6[16] = {};
    loopback6[15] = 1;
    const char* step = "fill in the certificate";
    if (Failed(gnutls_x509_crt_set_version(crt.get(), 3), step, error) ||
        Failed(gnutls_x509_crt_set_serial(crt.get(), serial, sizeof serial), step, error) ||
        Failed(gnutls_x509_crt_set_activation_time(crt.get(), now - 3600), step, error) ||
        Failed(gnutls_x509_crt_set_expiration_time(crt.get(), now + kValiditySeconds), step, error) ||
        Failed(gnutls_x509_crt_set_dn_by_oid(crt.get(), GNUTLS_OID_X520_COMMON_NAME, 0, host,
                                             static_cast<unsigned>(std::strlen(host))),
               step, error) ||
        Failed(gnutls_x509_crt_set_subject_alt_name(crt.get(), GNUTLS_SAN_DNSNAME, host,
                                                    static_cast<unsigned>(std::strlen(host)), GNUTLS_FSAN_APPEND),
               step, error) ||
        Failed(gnutls_x509_crt_set_subject_alt_name(crt.get(), GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_APPEND),
               step, error) ||
        Failed(gnutls_x509_crt_set_subject_alt_name(crt.get(), GNUTLS_SAN_IPADDRESS, loopback4, 4, GNUTLS_FSAN_APPEND),
               step, error) ||
        Failed(gnutls_x509_crt_set_subject_alt_name(crt.get(), GNUTLS_SAN_IPADDRESS, loopback6, 16, GNUTLS_FSAN_APPEND),
               step, error) ||
        Failed(gnutls_x509_crt_set_basic_constraints(crt.get(), 0, -1), step, error) ||
        Failed(gnutls_x509_crt_set_key_usage(crt.get(), GNUTLS_KEY_DIGITAL_SIGNATURE), step, error) ||
        Failed(gnutls_x509_crt_set_key_purpose_oid(crt.get(), GNUTLS_KP_TLS_WWW_SERVER, 0), step, error) ||
        Failed(gnutls_x509_crt_set_key(crt.get(), key.get()), step, error) ||
        Failed(gnutls_x509_crt_sign2(crt.get(), crt.get(), key.get(), GNUTLS_DIG_SHA256, 0), "sign the certificate",
               error)) {
        return false;
    }
    OwnedDatum key_pem;
    OwnedDatum crt_pem;
    if (Failed(gnutls_x509_privkey_export2(key.get(), GNUTLS_X509_FMT_PEM, &key_pem.datum), "export the key", error) ||
        Failed(gnutls_x509_crt_export2(crt.get(), GNUTLS_X509_FMT_PEM, &crt_pem.datum), "export the certificate",
               error)) {
        return false;
    }
    // The settings folder may not exist before the settings are first written.
    std::error_code ignored;
    std::filesystem::create_directories(base, ignored);
    // The key first: a certificate is never left without its key.
    return WriteFile(files.key_path, key_pem.datum, 0600, error) &&
           WriteFile(files.certificate_path, crt_pem.datum, 0644, error);
}

std::string CertificateFingerprint(const std::string& certificate_path, std::string& error) {
    std::string pem;
    if (!ReadFile(certificate_path, pem, error)) return {};
    gnutls_x509_crt_t raw_crt = nullptr;
    if (Failed(gnutls_x509_crt_init(&raw_crt), "read the certificate", error)) return {};
    const CrtPtr crt(raw_crt);
    const gnutls_datum_t data{reinterpret_cast<unsigned char*>(pem.data()), static_cast<unsigned>(pem.size())};
    if (Failed(gnutls_x509_crt_import(crt.get(), &data, GNUTLS_X509_FMT_PEM), ("read " + certificate_path).c_str(),
               error)) {
        return {};
    }
    unsigned char digest[32];
    size_t size = sizeof digest;
    if (Failed(gnutls_x509_crt_get_fingerprint(crt.get(), GNUTLS_DIG_SHA256, digest, &size), "take the fingerprint",
               error)) {
        return {};
    }
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
        text += hex;
    }
    return text;
}

bool CheckKeyFileMode(const std::string& path, std::string& error, std::string& warning) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = ErrnoMessage("cannot read " + path);
        return false;
    }
    if ((info.st_mode & S_IROTH) != 0) {
        error = "the private key " + path + " is readable by every user: make it the owner's only (chmod 600)";
        return false;
    }
    if ((info.st_mode & S_IRGRP) != 0) {
        warning = "the private key " + path + " is readable by its group; chmod 600 would keep it to its owner";
    }
    return true;
}

bool RestrictTlsVersions(const char* priority, std::string& error) {
    gnutls_priority_t parsed = nullptr;
    const char* error_at = nullptr;
    const int code = gnutls_priority_init2(&parsed, priority, &error_at, 0);
    if (code < 0) {
        error = std::string("GnuTLS refuses the TLS priorities at '") + (error_at ? error_at : "?") +
                "': " + gnutls_strerror(code);
        return false;
    }
    gnutls_priority_deinit(parsed);
    // GLib's GnuTLS backend has no other way to be told; it reads this once, at its first
    // connection. A value set by the user is theirs.
    if (g_getenv("G_TLS_GNUTLS_PRIORITY") == nullptr) g_setenv("G_TLS_GNUTLS_PRIORITY", priority, FALSE);
    return true;
}
