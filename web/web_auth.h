#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Passwords are kept only as salted PBKDF2-SHA-256 hashes:
// "pbkdf2-sha256$ITERATIONS$SALT$HASH" with salt and hash in base64.
inline constexpr int kPasswordIterations = 100000;
std::string HashPassword(std::string_view password, int iterations = kPasswordIterations);
// Whether password is the one hashed; false for a record that is not one of ours.
bool VerifyPassword(std::string_view password, std::string_view record);

// "user:password" from an Authorization header of the Basic scheme (its name in any case);
// false for anything else.
bool ParseBasicAuthorization(std::string_view header, std::string& user, std::string& password);

// Whether user and password are expected_user's and the one password_hash was made of. A wrong
// user costs the same PBKDF2 run as a wrong password, so that names cannot be told by timing.
// Safe on any thread.
bool VerifyCredentials(std::string_view expected_user, std::string_view password_hash, std::string_view user,
                       std::string_view password);

// Checks credentials against one user and its password hash. A pair that passed once is
// remembered by a keyed digest, so that a page's many requests cost one PBKDF2 run.
class CWebCredentials {
public:
    enum class Remembered { kAccepted, kRefused, kUnknown };

    CWebCredentials(std::string user, std::string password_hash);
    bool IsSet() const { return !user_.empty() && !password_hash_.empty(); }
    const std::string& User() const { return user_; }
    const std::string& PasswordHash() const { return password_hash_; }
    // The cheap part of a check, for the server's own thread: kAccepted for the pair that passed
    // before, kRefused for a header that is not Basic credentials, else kUnknown with user and
    // password set for VerifyCredentials.
    Remembered CheckRemembered(std::string_view authorization, std::string& user, std::string& password) const;
    void Remember(std::string_view user, std::string_view password);
    // Both parts in a row. The Authorization header of a request (may be empty).
    bool Check(std::string_view authorization);

private:
    std::string Digest(std::string_view user, std::string_view password) const;

    std::string user_;
    std::string password_hash_;
    std::string key_;  // random, for this process only
    std::string accepted_digest_;
};

// The network an address is counted in: its /24 for IPv4 (also when mapped into IPv6), its /64
// for IPv6, so that rotating through neighbouring addresses gains nothing. "10.1.2.0/24".
std::string FailureNetwork(const std::string& address);

// After kFreeFailures failures from one network, it is refused for a while: 1 s, then twice as
// long after every further failure, up to 30 s. A success clears the network. Bounded: beyond
// kMaxNetworks the network failed longest ago is forgotten, never one that is being refused
// (while all are, a new network is not counted; the global cap on verifications still holds).
class CFailureThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr int64_t kFirstDelayMs = 1000;
    static constexpr int64_t kMaxDelayMs = 30000;
    static constexpr size_t kMaxNetworks = 4096;

    // How long address's network is still refused; 0 when it may try.
    int64_t RefusedForMs(const std::string& address, int64_t now_ms) const;
    // Counts a failure; returns the failures counted for address's network so far.
    int Failed(const std::string& address, int64_t now_ms);
    void Succeeded(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        int64_t last_ms = 0;
        int64_t refused_until_ms = 0;
    };
    std::map<std::string, Entry> entries_;
};
