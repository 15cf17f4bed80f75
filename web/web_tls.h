#pragma once

#include <string>

// The server's certificate and key, PEM files.
struct TlsFiles {
    std::string certificate_path;
    std::string key_path;
};

// Makes a self-signed certificate (ECDSA P-256, ten years, for this host's name, "localhost",
// 127.0.0.1 and ::1) and its key under folder as cindral-web.crt and cindral-web.key (the key
// readable by its owner only) unless both are there already. False with error set.
bool EnsureSelfSignedCertificate(const std::string& folder, TlsFiles& files, std::string& error);

// The SHA-256 fingerprint of the first certificate of a PEM file, "AB:CD:...", as browsers
// show it; empty with error set when the file cannot be read as one.
std::string CertificateFingerprint(const std::string& certificate_path, std::string& error);

// Whether the private key at path may be used: false with error set when anyone may read it;
// warning set when its group may.
bool CheckKeyFileMode(const std::string& path, std::string& error, std::string& warning);

// Limits this process's TLS connections (GLib's GnuTLS backend) to the GnuTLS priority string
// given, unless G_TLS_GNUTLS_PRIORITY is set already. Must run before the first TLS connection
// is made: the backend reads it once. False with error set when GnuTLS refuses the string.
bool RestrictTlsVersions(const char* priority, std::string& error);
