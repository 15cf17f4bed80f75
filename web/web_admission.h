#pragma once

#include <glib.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// What the web server lets in before a request is authenticated, so that nothing a stranger
// sends costs more than a few kilobytes or milliseconds.

// At most kPerSecond password verifications a second for the whole server (a bucket of
// kPerSecond): beyond it a request is answered at once, whoever sends it.
class CVerificationBudget {
public:
    static constexpr int kPerSecond = 10;
    bool Take(int64_t now_ms);

private:
    double tokens_ = kPerSecond;
    int64_t last_ms_ = -1;
};

// Logs the first kLoggedFailures failures of each network, then only how many more came, once
// a minute (TakeUnlogged). Bounded: networks beyond kMaxNetworks are counted together.
class CFailureLog {
public:
    static constexpr int kLoggedFailures = 3;
    static constexpr size_t kMaxNetworks = 4096;
    static constexpr int kSummaryIntervalS = 60;

    // Counts a failure of network; true when it is to be logged on its own.
    bool Count(const std::string& network);
    // The failures not logged since the last call, by network ("others" for the uncounted),
    // and a fresh minute: each network's first failures are logged again.
    std::vector<std::pair<std::string, int>> TakeUnlogged();

private:
    struct Entry {
        int failures = 0;
        int unlogged = 0;
    };
    std::map<std::string, Entry> entries_;
    int others_ = 0;
};

// Password checks (PBKDF2, tens of milliseconds) on a thread of their own, so that the server's
// thread, which is the window's, never waits for one. Each answer is handed to the main context
// given; answers still due when the verifier goes are dropped.
class CPasswordVerifier {
public:
    static constexpr size_t kMaxWaiting = 16;

    CPasswordVerifier(std::string user, std::string password_hash, GMainContext* context);
    ~CPasswordVerifier();
    CPasswordVerifier(const CPasswordVerifier&) = delete;
    CPasswordVerifier& operator=(const CPasswordVerifier&) = delete;

    // False when kMaxWaiting checks wait already. done runs on the main context.
    bool Submit(std::string user, std::string password, std::function<void(bool)> done);

private:
    struct Job {
        std::string user;
        std::string password;
        std::function<void(bool)> done;
    };
    struct Shared {
        std::mutex mutex;
        bool is_alive = true;
    };
    void Run();

    const std::string user_;
    const std::string password_hash_;
    GMainContext* context_;  // a reference of ours
    std::shared_ptr<Shared> shared_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool is_stopping_ = false;
    std::thread thread_;
};
