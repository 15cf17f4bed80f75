#include "web/web_admission.h"

#include <algorithm>

#include "glib/glib_handles.h"
#include "platform/thread_handover.h"
#include "web/web_auth.h"

bool CVerificationBudget::Take(int64_t now_ms) {
    if (last_ms_ >= 0) tokens_ = std::min<double>(kPerSecond, tokens_ + (now_ms - last_ms_) * kPerSecond / 1000.0);
    last_ms_ = now_ms;
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
}

bool CFailureLog::Count(const std::string& network) {
    auto found = entries_.find(network);
    if (found == entries_.end()) {
        if (entries_.size() >= kMaxNetworks) {
            ++others_;
            return false;
        }
        found = entries_.emplace(network, Entry{}).first;
    }
    if (++found->second.failures <= kLoggedFailures) return true;
    ++found->second.unlogged;
    return false;
}

std::vector<std::pair<std::string, int>> CFailureLog::TakeUnlogged() {
    std::vector<std::pair<std::string, int>> counts;
    for (const auto& [network, entry] : entries_) {
        if (entry.unlogged > 0) counts.emplace_back(network, entry.unlogged);
    }
    if (others_ > 0) counts.emplace_back("others", others_);
    entries_.clear();
    others_ = 0;
    return counts;
}

CPasswordVerifier::CPasswordVerifier(std::string user, std::string password_hash, GMainContext* context)
    : user_(std::move(user)),
      password_hash_(std::move(password_hash)),
      context_(g_main_context_ref(context)),
      shared_(std::make_shared<Shared>()),
      thread_([this] { Run(); }) {}

CPasswordVerifier::~CPasswordVerifier() {
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->is_alive = false;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    thread_.join();
    g_main_context_unref(context_);
}

bool CPasswordVerifier::Submit(std::string user, std::string password, std::function<void(bool)> done) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.size() >= kMaxWaiting) return false;
        jobs_.push_back(Job{std::move(user), std::move(password), std::move(done)});
    }
    wake_.notify_one();
    return true;
}

void CPasswordVerifier::Run() {
    while (true) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return is_stopping_ || !jobs_.empty(); });
            if (is_stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        const bool is_right = VerifyCredentials(user_, password_hash_, job.user, job.password);
        struct Answer {
            std::shared_ptr<Shared> shared;
            std::function<void(bool)> done;
            bool is_right;
        };
        auto* answer = new Answer{shared_, std::move(job.done), is_right};
        const GSourcePtr source(g_idle_source_new());
        g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
        g_source_set_callback(
            source.get(),
            [](gpointer data) -> gboolean {
                MarkReceived(data);
                auto* delivered = static_cast<Answer*>(data);
                bool is_alive = false;
                {
                    const std::lock_guard<std::mutex> lock(delivered->shared->mutex);
                    is_alive = delivered->shared->is_alive;
                }
                // Only the main context's thread ends the verifier, so it cannot go meanwhile.
                if (is_alive) delivered->done(delivered->is_right);
                return G_SOURCE_REMOVE;
            },
            answer,
            [](gpointer data) {
                MarkReceived(data);
                delete static_cast<Answer*>(data);
            });
        MarkHandedOver(answer);
        g_source_attach(source.get(), context_);
    }
}
