#include "web/web_auth.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>

#include <algorithm>

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

QByteArray Derive(std::string_view password, const QByteArray& salt, int iterations) {
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
    constexpr std::string_view kBasic = "Basic ";
    if (header.size() <= kBasic.size() || header.substr(0, kBasic.size()) != kBasic) return false;
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

bool CWebCredentials::Check(std::string_view authorization) {
    std::string user;
    std::string password;
    if (!IsSet() || !ParseBasicAuthorization(authorization, user, password)) return false;
    if (!ConstantTimeEqual(user, user_)) return false;
    const std::string digest = Digest(user, password);
    if (!accepted_digest_.empty() && ConstantTimeEqual(digest, accepted_digest_)) return true;
    if (!VerifyPassword(password, password_hash_)) return false;
    accepted_digest_ = digest;
    return true;
}

int64_t CFailureThrottle::DelayMs(const std::string& address) const {
    const auto found = entries_.find(address);
    if (found == entries_.end() || found->second.failures < kFreeFailures) return 0;
    int64_t delay = kFirstDelayMs;
    for (int i = kFreeFailures; i < found->second.failures && delay < kMaxDelayMs; ++i) delay *= 2;
    return std::min(delay, kMaxDelayMs);
}

int CFailureThrottle::Failed(const std::string& address, int64_t now_ms) {
    if (entries_.size() >= kMaxAddresses && entries_.find(address) == entries_.end()) {
        const auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.last_ms < b.second.last_ms;
        });
        entries_.erase(oldest);
    }
    Entry& entry = entries_[address];
    ++entry.failures;
    entry.last_ms = now_ms;
    return entry.failures;
}

void CFailureThrottle::Succeeded(const std::string& address) { entries_.erase(address); }
