#include "web/web_auth.h"

#include <gio/gio.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "web/web_log.h"

namespace {

constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
constexpr char kScheme[] = "pbkdf2-sha256";

QByteArray RandomBytes(int count) {
    QByteArray bytes(count, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(bytes.data()),
                                         reinterpret_cast<quint32*>(bytes.data() + (count / 4) * 4));
    return bytes;
}

// GnuTLS's PBKDF2 is several times faster than Qt's for the same result; Qt's stays for a
// GnuTLS that refuses (a FIPS mode, say).
QByteArray Derive(std::string_view password, const QByteArray& salt, int iterations) {
    QByteArray hash(kHashBytes, '\0');
    const gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(password.data())),
                             static_cast<unsigned>(password.size())};
    const gnutls_datum_t salt_datum{reinterpret_cast<unsigned char*>(const_cast<char*>(salt.constData())),
                                    static_cast<unsigned>(salt.size())};
    const int code = gnutls_pbkdf2(GNUTLS_MAC_SHA256, &key, &salt_datum, static_cast<unsigned>(iterations), hash.data(),
                                   static_cast<size_t>(hash.size()));
    if (code >= 0) return hash;
    qCWarning(lcWeb) << "GnuTLS cannot derive a password hash:" << gnutls_strerror(code) << "- Qt's is used";
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256,
                                              QByteArray(password.data(), static_cast<qsizetype>(password.size())),
                                              salt, iterations, kHashBytes);
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace

std::string HashPassword(std::string_view password, int iterations) {
    const QByteArray salt = RandomBytes(kSaltBytes);
    const QByteArray hash = Derive(password, salt, iterations);
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + salt.toBase64().toStdString() + "$" +
           hash.toBase64().toStdString();
}

bool VerifyPassword(std::string_view password, std::string_view record) {
    const QList<QByteArray> parts = QByteArray(record.data(), static_cast<qsizetype>(record.size())).split('$');
    if (parts.size() != 4 || parts[0] != kScheme) return false;
    bool is_number = false;
    const int iterations = parts[1].toInt(&is_number);
    // Fewer iterations than ours would make a weak record; far more would stall the server.
    if (!is_number || iterations < kPasswordIterations || iterations > 10 * kPasswordIterations) return false;
    const QByteArray salt = QByteArray::fromBase64(parts[2]);
    const QByteArray expected = QByteArray::fromBase64(parts[3]);
    if (salt.isEmpty() || expected.size() != kHashBytes) return false;
    const QByteArray hash = Derive(password, salt, iterations);
    return ConstantTimeEqual(std::string_view(hash.constData(), hash.size()),
                             std::string_view(expected.constData(), expected.size()));
}

bool ParseBasicAuthorization(std::string_view header, std::string& user, std::string& password) {
    // Scheme names are case-insensitive.
    constexpr std::string_view kBasic = "basic ";
    if (header.size() <= kBasic.size() || g_ascii_strncasecmp(header.data(), kBasic.data(), kBasic.size()) != 0) {
        return false;
    }
    std::string_view encoded = header.substr(kBasic.size());
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray(encoded.data(), static_cast<qsizetype>(encoded.size())), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return false;
    const QByteArray& pair = *decoded;
    const qsizetype colon = pair.indexOf(':');
    if (colon < 0) return false;
    user = pair.left(colon).toStdString();
    password = pair.mid(colon + 1).toStdString();
    return true;
}

CWebCredentials::CWebCredentials(std::string user, std::string password_hash)
    : user_(std::move(user)), password_hash_(std::move(password_hash)), key_(RandomBytes(32).toStdString()) {}

std::string CWebCredentials::Digest(std::string_view user, std::string_view password) const {
    QByteArray message(user.data(), static_cast<qsizetype>(user.size()));
    message += '\0';
    message += QByteArray(password.data(), static_cast<qsizetype>(password.size()));
    return QMessageAuthenticationCode::hash(message, QByteArray::fromStdString(key_), QCryptographicHash::Sha256)
        .toStdString();
}

bool VerifyCredentials(std::string_view expected_user, std::string_view password_hash, std::string_view user,
                       std::string_view password) {
    // Both always run: the user's comparison alone would answer a wrong name at once.
    const bool is_user = ConstantTimeEqual(user, expected_user);
    const bool is_password = VerifyPassword(password, password_hash);
    return is_user && is_password;
}

CWebCredentials::Remembered CWebCredentials::CheckRemembered(std::string_view authorization, std::string& user,
                                                             std::string& password) const {
    if (!IsSet() || !ParseBasicAuthorization(authorization, user, password)) return Remembered::kRefused;
    if (!accepted_digest_.empty() && ConstantTimeEqual(Digest(user, password), accepted_digest_)) {
        return Remembered::kAccepted;
    }
    return Remembered::kUnknown;
}

void CWebCredentials::Remember(std::string_view user, std::string_view password) {
    accepted_digest_ = Digest(user, password);
}

bool CWebCredentials::Check(std::string_view authorization) {
    std::string user;
    std::string password;
    switch (CheckRemembered(authorization, user, password)) {
        case Remembered::kAccepted: return true;
        case Remembered::kRefused: return false;
        case Remembered::kUnknown: break;
    }
    if (!VerifyCredentials(user_, password_hash_, user, password)) return false;
    Remember(user, password);
    return true;
}

std::string FailureNetwork(const std::string& address) {
    GInetAddress* inet = g_inet_address_new_from_string(address.c_str());
    if (inet == nullptr) return address;
    uint8_t bytes[16] = {};
    const gsize size = g_inet_address_get_native_size(inet);
    std::memcpy(bytes, g_inet_address_to_bytes(inet), std::min<gsize>(size, sizeof bytes));
    g_object_unref(inet);
    const uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const uint8_t* ipv4 = size == 4                                                      ? bytes
                          : std::memcmp(bytes, mapped_prefix, sizeof mapped_prefix) == 0 ? bytes + 12
                                                                                         : nullptr;
    char text[64];
    if (ipv4 != nullptr) {
        std::snprintf(text, sizeof text, "%u.%u.%u.0/24", ipv4[0], ipv4[1], ipv4[2]);
    } else {
        std::snprintf(text, sizeof text, "%x:%x:%x:%x::/64", bytes[0] << 8 | bytes[1], bytes[2] << 8 | bytes[3],
                      bytes[4] << 8 | bytes[5], bytes[6] << 8 | bytes[7]);
    }
    return text;
}

int64_t CFailureThrottle::RefusedForMs(const std::string& address, int64_t now_ms) const {
    const auto found = entries_.find(FailureNetwork(address));
    if (found == entries_.end()) return 0;
    return std::max<int64_t>(0, found->second.refused_until_ms - now_ms);
}

int CFailureThrottle::Failed(const std::string& address, int64_t now_ms) {
    const std::string network = FailureNetwork(address);
    auto found = entries_.find(network);
    if (found == entries_.end()) {
        if (entries_.size() >= kMaxNetworks) {
            auto oldest = entries_.end();
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (it->second.refused_until_ms > now_ms) continue;  // being refused: kept
                if (oldest == entries_.end() || it->second.last_ms < oldest->second.last_ms) oldest = it;
            }
            if (oldest == entries_.end()) return 1;
            entries_.erase(oldest);
        }
        found = entries_.emplace(network, Entry{}).first;
    }
    Entry& entry = found->second;
    ++entry.failures;
    entry.last_ms = now_ms;
    if (entry.failures >= kFreeFailures) {
        int64_t delay = kFirstDelayMs;
        for (int i = kFreeFailures; i < entry.failures && delay < kMaxDelayMs; ++i) delay *= 2;
        entry.refused_until_ms = now_ms + std::min(delay, kMaxDelayMs);
    }
    return entry.failures;
}

void CFailureThrottle::Succeeded(const std::string& address) { entries_.erase(FailureNetwork(address)); }
