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

// "user:password" from an Authorization header of the Basic scheme; false for anything else.
bool ParseBasicAuthorization(std::string_view header, std::string& user, std::string& password);

// Checks credentials against one user and its password hash. A pair that passed once is
// remembered by a keyed digest, so that a page's many requests cost one PBKDF2 run.
class CWebCredentials {
public:
    CWebCredentials(std::string user, std::string password_hash);
    bool IsSet() const { return !user_.empty() && !password_hash_.empty(); }
    // The Authorization header of a request (may be empty).
    bool Check(std::string_view authorization);

private:
    std::string Digest(std::string_view user, std::string_view password) const;

    std::string user_;
    std::string password_hash_;
    std::string key_;  // random, for this process only
    std::string accepted_digest_;
};

// After kFreeFailures failures from one address, its answers wait: 1 s, then twice as long
// after every further failure, up to 30 s. A success clears the address. Bounded: the oldest
// addresses are forgotten beyond kMaxAddresses.
class CFailureThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr int64_t kFirstDelayMs = 1000;
    static constexpr int64_t kMaxDelayMs = 30000;
    static constexpr size_t kMaxAddresses = 4096;

    // How long the next answer to address waits.
    int64_t DelayMs(const std::string& address) const;
    // Counts a failure; returns the failures counted for address so far.
    int Failed(const std::string& address, int64_t now_ms);
    void Succeeded(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        int64_t last_ms = 0;
    };
    std::map<std::string, Entry> entries_;
};
