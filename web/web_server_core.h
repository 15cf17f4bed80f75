#pragma once

// The web server's shared state, private to web_server.cpp (start and stop, admission of
// connections), web_routes.cpp (authentication and the answers) and web_streams.cpp (live
// pictures, archive downloads and videos).
#include <gio/gio.h>
#include <libsoup/soup.h>

#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "glib/glib_handles.h"
#include "platform/posix_file.h"
#include "web/web_admission.h"
#include "web/web_catalogue.h"
#include "web/web_server.h"
#include "web/web_stream_export.h"

inline QString Text(const std::string& text) { return QString::fromStdString(text); }

// One request being answered; lives until the message is finished.
struct WebRequestContext {
    WebServerCore* core = nullptr;
    GObjectPtr<SoupServerMessage> message;
    WebRequest request;
    std::string host;
    uint64_t verification = 0;  // the password check this request waits for, if any
    bool is_paused = false;
    GAttachedSourcePtr timer;  // a delay or a wait, when one runs
    // Streams.
    int chunks_in_flight = 0;
    uint64_t last_sequence = 0;
    bool is_waiting_for_frame = false;
    UniqueFd file;
    int64_t file_remaining = 0;
    std::unique_ptr<CStreamedExport> video;
    // Alive while the request is: catalogue work done off the main loop answers only while it is.
    std::shared_ptr<int> catalogue_owner = std::make_shared<int>(0);
};

// Wakes the server's main context when a new live frame is ready; outlives the server safely.
struct WebWake {
    std::mutex mutex;
    WebServerCore* core = nullptr;
    GMainContextPtr context;
    bool is_pending = false;
};

struct WebServerCore {
    std::string storage_folder;
    CViewerFrames* frames = nullptr;
    std::function<WebLiveStatus()> status;
    WebServerOptions options;
    std::unique_ptr<CWebCredentials> credentials;
    CFailureThrottle throttle;
    CVerificationBudget budget;
    CFailureLog failure_log;
    std::unique_ptr<CPasswordVerifier> verifier;
    uint64_t last_verification = 0;
    std::map<uint64_t, WebRequestContext*> verifying;
    GAttachedSourcePtr failure_summary;
    GAttachedSourcePtr prune_timer;
    static constexpr guint kPruneIntervalMs = 500;

    GObjectPtr<SoupServer> server;
    GObjectPtr<GSocketService> service;
    // libsoup keeps connections alive only for a server with a listener of its own: it gets one
    // end of a socket pair, on which nothing ever arrives, and the other end is held.
    GObjectPtr<GSocket> keep_alive_listener;
    GObjectPtr<GSocket> keep_alive_peer;
    GObjectPtr<GTlsCertificate> certificate;
    GMainContextPtr main_context;
    uint16_t port = 0;
    struct Connection {
        std::string peer;  // "ADDRESS:PORT"
        std::string host;  // the address
        bool is_over_limit = false;
        GObjectPtr<GIOStream> stream;    // ours until it is closed
        GSocket* socket = nullptr;       // the stream's: lives as long as it
        GAttachedSourcePtr deadline;     // while headers are awaited
        GObject* message = nullptr;      // the request it reads or answers now, watched
        GAttachedSourcePtr close_watch;  // between requests: for the client's close
    };
    std::map<GObject*, Connection> streams;
    std::set<std::string> over_limit_peers;
    std::set<WebRequestContext*> requests;
    std::shared_ptr<WebWake> wake;

    void PruneClosed();
    int CountClients(bool is_over_limit) const {
        return static_cast<int>(std::count_if(streams.begin(), streams.end(), [&](const auto& entry) {
            return entry.second.is_over_limit == is_over_limit;
        }));
    }
    Connection* FindConnection(const std::string& peer) {
        for (auto& entry : streams) {
            if (entry.second.peer == peer) return &entry.second;
        }
        return nullptr;
    }
    void ArmDeadline(Connection& connection);
    static void DisarmDeadline(Connection& connection);
    void Watch(Connection& connection, SoupServerMessage* message);
    void Unwatch(Connection& connection);
    void MessageGone(GObject* gone);
    void WatchForClose(Connection& connection, int delay_ms);
    static void StopWatchingForClose(Connection& connection);
    void CheckForClose(GSocket* socket);
    static WebServerCore* CoreOfSocket(GSocket* socket) {
        return static_cast<WebServerCore*>(g_object_get_data(G_OBJECT(socket), "cindral-core"));
    }
    void LogFailureSummary();

    // Answers.
    void Respond(WebRequestContext* context, guint http_status, const char* type, const void* data, size_t size);
    void RespondText(WebRequestContext* context, guint http_status, const std::string& text);
    void RespondJson(WebRequestContext* context, const QJsonObject& json);
    void Resume(WebRequestContext* context);
    void Pause(WebRequestContext* context);
    void SetTimer(WebRequestContext* context, int delay_ms, GSourceFunc function);

    void Handle(WebRequestContext* context);
    void Verified(WebRequestContext* context, const std::string& user, const std::string& password, bool is_right);
    void Failed(WebRequestContext* context);
    void RespondClosing(WebRequestContext* context, guint http_status, int64_t retry_after_ms, const std::string& text);
    void Authorized(WebRequestContext* context);
    void ServeResource(WebRequestContext* context, const char* name, const char* type);
    void ServeStatus(WebRequestContext* context);
    void ServeDays(WebRequestContext* context);
    void ServeArchives(WebRequestContext* context);
    void ServeFrame(WebRequestContext* context);
    // An archive's file or its video, named by when it was recorded.
    void ServeDownload(WebRequestContext* context);
    void ServeArchiveFile(WebRequestContext* context, const WebArchive& archive);
    void ServeVideo(WebRequestContext* context, const WebArchive& archive);
    void ServeEvents(WebRequestContext* context);
    void ServeEventPicture(WebRequestContext* context);
    void ServeLive(WebRequestContext* context);
    void ServeSnapshot(WebRequestContext* context);
    void PumpFile(WebRequestContext* context);
    void PumpVideo(WebRequestContext* context);
    void SendNextFrame(WebRequestContext* context);
    void OnFrameReady();
};
