#include "web/web_server.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gnutls/gnutls.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "archive/archive_reader.h"
#include "capture/viewer_frames.h"
#include "platform/thread_handover.h"
#include "platform/tick_clock.h"
#include "storage/retention.h"
#include "web/web_admission.h"
#include "web/web_catalogue.h"
#include "web/web_catalogue_jobs.h"
#include "web/web_log.h"
#include "web/web_stream_export.h"

namespace {

constexpr char kBoundary[] = "cindralframe";
constexpr size_t kFileChunkBytes = 64 * 1024;
constexpr int kSnapshotWaitMs = 5000;
// TLS 1.2 and 1.3 only, with forward secrecy and AEAD ciphers only.
constexpr char kTlsPriority[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+CHACHA20-POLY1305:+AES-256-GCM:+AES-128-GCM:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA";

// An owned reference to a GObject.
template <typename T>
struct GRef {
    T* object = nullptr;
    GRef() = default;
    explicit GRef(T* adopted) : object(adopted) {}
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    GRef& operator=(GRef&& other) noexcept {
        std::swap(object, other.object);
        return *this;
    }
    ~GRef() {
        if (object) g_object_unref(object);
    }
    T* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }
};

struct GErrorOwner {
    GError* error = nullptr;
    ~GErrorOwner() {
        if (error) g_error_free(error);
    }
    std::string Message() const { return error ? error->message : "unknown error"; }
};

QString Text(const std::string& text) { return QString::fromStdString(text); }

std::string PeerText(GSocketAddress* address) {
    if (address == nullptr || !G_IS_INET_SOCKET_ADDRESS(address)) return "?";
    GInetSocketAddress* inet = G_INET_SOCKET_ADDRESS(address);
    gchar* host = g_inet_address_to_string(g_inet_socket_address_get_address(inet));
    std::string text = std::string(host) + ":" + std::to_string(g_inet_socket_address_get_port(inet));
    g_free(host);
    return text;
}

void FreeSharedFrame(gpointer data) { delete static_cast<std::shared_ptr<const ViewerJpeg>*>(data); }

// "attachment; filename=..." with only plain characters of the name: nothing a header could
// be broken with.
std::string Attachment(const std::string& name, const char* extension) {
    std::string safe;
    for (char c : name) {
        const bool is_plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                              c == '_' || c == '.';
        safe += is_plain ? c : '_';
    }
    return "attachment; filename=\"" + safe + extension + "\"";
}

}  // namespace

// One request being answered; lives until the message is finished.
struct WebRequestContext {
    WebServerCore* core = nullptr;
    SoupServerMessage* message = nullptr;  // a reference of ours
    WebRequest request;
    std::string host;
    uint64_t verification = 0;  // the password check this request waits for, if any
    bool is_paused = false;
    GSource* timer = nullptr;  // a delay or a wait, when one runs
    // Streams.
    int chunks_in_flight = 0;
    uint64_t last_sequence = 0;
    bool is_waiting_for_frame = false;
    int file_fd = -1;
    int64_t file_remaining = 0;
    std::unique_ptr<CStreamedExport> video;
    // Alive while the request is: catalogue work done off the main loop answers only while it is.
    std::shared_ptr<int> catalogue_owner = std::make_shared<int>(0);

    ~WebRequestContext() {
        if (timer) {
            g_source_destroy(timer);
            g_source_unref(timer);
        }
        if (file_fd >= 0) ::close(file_fd);
        if (message) g_object_unref(message);
    }
};

// Wakes the server's main context when a new live frame is ready; outlives the server safely.
struct WebWake {
    std::mutex mutex;
    WebServerCore* core = nullptr;
    GMainContext* context = nullptr;  // a reference of ours
    bool is_pending = false;
    ~WebWake() {
        if (context) g_main_context_unref(context);
    }
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
    GSource* failure_summary = nullptr;

    GRef<SoupServer> server;
    GRef<GSocketService> service;
    GRef<GTlsCertificate> certificate;
    GMainContext* main_context = nullptr;
    uint16_t port = 0;
    struct Connection {
        std::string peer;  // "ADDRESS:PORT"
        std::string host;  // the address
        bool is_over_limit = false;
        GSocket* socket = nullptr;    // not ours: lives as long as the stream
        GSource* deadline = nullptr;  // while headers are awaited
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
    void ServeArchiveFile(WebRequestContext* context);
    void ServeVideo(WebRequestContext* context);
    void ServeLive(WebRequestContext* context);
    void ServeSnapshot(WebRequestContext* context);
    void PumpFile(WebRequestContext* context);
    void PumpVideo(WebRequestContext* context);
    void SendNextFrame(WebRequestContext* context);
    void OnFrameReady();
};

// ---------------------------------------------------------------- answers

void WebServerCore::Pause(WebRequestContext* context) {
    if (context->is_paused) return;
    soup_server_message_pause(context->message);
    context->is_paused = true;
}

void WebServerCore::Resume(WebRequestContext* context) {
    if (!context->is_paused) return;
    context->is_paused = false;
    soup_server_message_unpause(context->message);
}

void WebServerCore::Respond(WebRequestContext* context, guint http_status, const char* type, const void* data,
                            size_t size) {
    soup_server_message_set_status(context->message, http_status, nullptr);
    soup_server_message_set_response(context->message, type, SOUP_MEMORY_COPY, static_cast<const char*>(data), size);
    Resume(context);
}

void WebServerCore::RespondText(WebRequestContext* context, guint http_status, const std::string& text) {
    const std::string body = text + "\n";
    Respond(context, http_status, "text/plain; charset=utf-8", body.data(), body.size());
}

void WebServerCore::RespondJson(WebRequestContext* context, const QJsonObject& json) {
    const QByteArray body = QJsonDocument(json).toJson(QJsonDocument::Compact);
    Respond(context, SOUP_STATUS_OK, "application/json", body.constData(), static_cast<size_t>(body.size()));
}

// Not const, though no field changes: it adds a source to the server's main context.
// NOLINTNEXTLINE(readability-make-member-function-const)
void WebServerCore::SetTimer(WebRequestContext* context, int delay_ms, GSourceFunc function) {
    if (context->timer) {
        g_source_destroy(context->timer);
        g_source_unref(context->timer);
    }
    context->timer = g_timeout_source_new(static_cast<guint>(delay_ms));
    g_source_set_callback(context->timer, function, context, nullptr);
    g_source_attach(context->timer, main_context);
}

// ---------------------------------------------------------------- requests

void WebServerCore::Handle(WebRequestContext* context) {
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message);
    soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_replace(headers, "Referrer-Policy", "no-referrer");
    soup_message_headers_replace(headers, "X-Frame-Options", "DENY");
    const WebRoute route = context->request.route;
    // Only the page itself may be kept by a browser: answers and recordings change or are private.
    if (route != WebRoute::kPage && route != WebRoute::kScript && route != WebRoute::kStyle) {
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
    }
    if (!credentials || !credentials->IsSet()) {
        Authorized(context);
        return;
    }
    const char* authorization =
        soup_message_headers_get_one(soup_server_message_get_request_headers(context->message), "Authorization");
    std::string user;
    std::string password;
    switch (credentials->CheckRemembered(authorization ? authorization : "", user, password)) {
        case CWebCredentials::Remembered::kAccepted: Authorized(context); return;
        case CWebCredentials::Remembered::kRefused:
            // A request without credentials is a browser asking how to authenticate, not a failure.
            if (authorization == nullptr) {
                soup_message_headers_replace(headers, "WWW-Authenticate", "Basic realm=\"Cindral\", charset=\"UTF-8\"");
                RespondText(context, SOUP_STATUS_UNAUTHORIZED, "a user name and password are needed");
            } else {
                Failed(context);
            }
            return;
        case CWebCredentials::Remembered::kUnknown: break;
    }
    // Slowed networks are answered at once, their password unread, so that no connection is held
    // while they wait; the answer says how long.
    const int64_t now_ms = MonotonicMs();
    const int64_t refused_ms = throttle.RefusedForMs(context->host, now_ms);
    if (refused_ms > 0) {
        RespondClosing(context, 429, refused_ms, "too many failed passwords; try again later");
        return;
    }
    if (!budget.Take(now_ms)) {
        RespondClosing(context, SOUP_STATUS_SERVICE_UNAVAILABLE, 1000, "too many password checks; try again shortly");
        return;
    }
    const uint64_t serial = ++last_verification;
    const bool is_submitted = verifier->Submit(user, password, [this, serial, user, password](bool is_right) {
        const auto found = verifying.find(serial);
        if (found == verifying.end()) return;  // the client went
        WebRequestContext* waiting = found->second;
        verifying.erase(found);
        waiting->verification = 0;
        Verified(waiting, user, password, is_right);
    });
    if (!is_submitted) {
        RespondClosing(context, SOUP_STATUS_SERVICE_UNAVAILABLE, 1000, "too many password checks; try again shortly");
        return;
    }
    context->verification = serial;
    verifying[serial] = context;
    Pause(context);
}

void WebServerCore::Verified(WebRequestContext* context, const std::string& user, const std::string& password,
                             bool is_right) {
    if (!is_right) {
        Failed(context);
        return;
    }
    throttle.Succeeded(context->host);
    credentials->Remember(user, password);
    Authorized(context);
}

void WebServerCore::Failed(WebRequestContext* context) {
    const int failures = throttle.Failed(context->host, MonotonicMs());
    if (failure_log.Count(FailureNetwork(context->host))) {
        qCWarning(lcWeb).noquote() << "authentication failed from" << Text(context->host)
                                   << QStringLiteral("(%1 in a row from its network)").arg(failures);
    }
    soup_message_headers_replace(soup_server_message_get_response_headers(context->message), "WWW-Authenticate",
                                 "Basic realm=\"Cindral\", charset=\"UTF-8\"");
    RespondText(context, SOUP_STATUS_UNAUTHORIZED, "a user name and password are needed");
}

void WebServerCore::RespondClosing(WebRequestContext* context, guint http_status, int64_t retry_after_ms,
                                   const std::string& text) {
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message);
    soup_message_headers_replace(headers, "Connection", "close");
    const std::string seconds = std::to_string((retry_after_ms + 999) / 1000);
    soup_message_headers_replace(headers, "Retry-After", seconds.c_str());
    RespondText(context, http_status, text);
}

void WebServerCore::LogFailureSummary() {
    for (const auto& [network, count] : failure_log.TakeUnlogged()) {
        qCWarning(lcWeb).noquote() << "authentication failed" << count << "more times in the last minute from"
                                   << Text(network);
    }
}

// Not const, though no field changes: it adds a source to the server's main context.
// NOLINTNEXTLINE(readability-make-member-function-const)
void WebServerCore::ArmDeadline(Connection& connection) {
    if (connection.deadline != nullptr) return;
    // Milliseconds, not whole seconds: GLib may fire a seconds timeout up to a second early.
    connection.deadline = g_timeout_source_new(static_cast<guint>(options.header_deadline_s) * 1000u);
    g_source_set_callback(
        connection.deadline,
        [](gpointer data) -> gboolean {
            // Ending the socket fails libsoup's pending read, and the connection is dropped.
            auto* socket = static_cast<GSocket*>(data);
            qCDebug(lcWeb) << "a connection took too long to send its request's headers";
            g_socket_shutdown(socket, TRUE, TRUE, nullptr);
            return G_SOURCE_REMOVE;
        },
        connection.socket, nullptr);
    g_source_attach(connection.deadline, main_context);
}

void WebServerCore::DisarmDeadline(Connection& connection) {
    if (connection.deadline == nullptr) return;
    g_source_destroy(connection.deadline);
    g_source_unref(connection.deadline);
    connection.deadline = nullptr;
}

void WebServerCore::Authorized(WebRequestContext* context) {
    switch (context->request.route) {
        case WebRoute::kNotFound: RespondText(context, SOUP_STATUS_NOT_FOUND, "not found"); return;
        case WebRoute::kMethodNotAllowed:
            soup_message_headers_replace(soup_server_message_get_response_headers(context->message), "Allow",
                                         "GET, HEAD");
            RespondText(context, SOUP_STATUS_METHOD_NOT_ALLOWED, "only GET and HEAD are answered");
            return;
        case WebRoute::kPage: ServeResource(context, ":/web/index.html", "text/html; charset=utf-8"); return;
        case WebRoute::kScript: ServeResource(context, ":/web/app.js", "text/javascript; charset=utf-8"); return;
        case WebRoute::kStyle: ServeResource(context, ":/web/style.css", "text/css; charset=utf-8"); return;
        case WebRoute::kStatus: ServeStatus(context); return;
        case WebRoute::kDays: ServeDays(context); return;
        case WebRoute::kArchives: ServeArchives(context); return;
        case WebRoute::kFrame: ServeFrame(context); return;
        case WebRoute::kArchive: ServeArchiveFile(context); return;
        case WebRoute::kVideo: ServeVideo(context); return;
        case WebRoute::kLive: ServeLive(context); return;
        case WebRoute::kSnapshot: ServeSnapshot(context); return;
    }
}

void WebServerCore::ServeResource(WebRequestContext* context, const char* name, const char* type) {
    QFile file(QString::fromLatin1(name));
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcWeb).noquote() << "the page's resource" << name << "cannot be read:" << file.errorString();
        RespondText(context, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the page is missing from this build");
        return;
    }
    const QByteArray body = file.readAll();
    soup_message_headers_replace(soup_server_message_get_response_headers(context->message), "Content-Security-Policy",
                                 "default-src 'self'; img-src 'self' blob: data:; media-src 'self'; "
                                 "frame-ancestors 'none'");
    Respond(context, SOUP_STATUS_OK, type, body.constData(), static_cast<size_t>(body.size()));
}

void WebServerCore::ServeStatus(WebRequestContext* context) {
    const WebLiveStatus live = status ? status() : WebLiveStatus{"stopped", "No live picture here", {}, {}};
    QJsonObject json{{"phase", Text(live.phase)},
                     {"text", Text(live.text)},
                     {"camera", Text(live.camera)},
                     {"live", frames != nullptr}};
    const std::optional<uint64_t> free_bytes = FreeBytes(storage_folder);
    json["free_bytes"] = free_bytes ? QJsonValue(static_cast<double>(*free_bytes)) : QJsonValue();
    if (!live.open_archive.empty()) {
        // Said the way the catalogue names it, never as a path.
        const size_t slash = live.open_archive.find_last_of('/');
        const std::string file = live.open_archive.substr(slash + 1);
        const std::string folder = slash == std::string::npos ? std::string() : live.open_archive.substr(0, slash);
        const std::string day = folder.substr(folder.find_last_of('/') + 1);
        const size_t dot = file.find_last_of('.');
        json["open_archive"] = QJsonObject{{"day", Text(day)}, {"name", Text(file.substr(0, dot))}};
    } else {
        json["open_archive"] = QJsonValue();
    }
    RespondJson(context, json);
}

void WebServerCore::ServeDays(WebRequestContext* context) {
    QJsonArray days;
    for (const std::string& day : ListDays(storage_folder)) days.append(Text(day));
    RespondJson(context, QJsonObject{{"days", days}});
}

void WebServerCore::ServeArchives(WebRequestContext* context) {
    // Indexing archives may take long (a damaged one is searched): it runs off the main loop.
    auto archives = std::make_shared<std::optional<std::vector<WebArchive>>>();
    Pause(context);
    RunOffMainLoop(
        context->catalogue_owner,
        [archives, folder = storage_folder, day = context->request.day] { *archives = ListArchives(folder, day); },
        [this, context, archives] {
            if (!*archives) {
                RespondText(context, SOUP_STATUS_NOT_FOUND, "no such day");
                return;
            }
            QJsonArray list;
            for (const WebArchive& archive : **archives) {
                list.append(QJsonObject{
                    {"name", QString::fromUtf8(archive.name.data(), static_cast<qsizetype>(archive.name.size()))},
                    {"frames", archive.frames},
                    {"first", archive.first_ole ? QJsonValue(Text(IsoLocalTime(*archive.first_ole))) : QJsonValue()},
                    {"last", archive.last_ole ? QJsonValue(Text(IsoLocalTime(*archive.last_ole))) : QJsonValue()},
                    {"pinned", archive.is_pinned},
                    {"bytes", static_cast<double>(archive.bytes)}});
            }
            RespondJson(context, QJsonObject{{"day", Text(context->request.day)}, {"archives", list}});
        });
}

void WebServerCore::ServeFrame(WebRequestContext* context) {
    auto frame = std::make_shared<std::optional<WebFrame>>();
    Pause(context);
    RunOffMainLoop(
        context->catalogue_owner,
        [frame, folder = storage_folder, request = context->request] {
            const std::optional<WebArchive> archive = FindArchive(folder, request.day, request.name);
            if (archive) *frame = ReadArchiveFrame(archive->path, request.frame);
        },
        [this, context, frame] {
            if (!*frame) {
                RespondText(context, SOUP_STATUS_NOT_FOUND, "no such frame");
                return;
            }
            // Its recorded time, so that the page plays frames at their pace.
            if (!(*frame)->time.empty()) {
                soup_message_headers_replace(soup_server_message_get_response_headers(context->message),
                                             "X-Record-Time", (*frame)->time.c_str());
            }
            Respond(context, SOUP_STATUS_OK, "image/jpeg", (*frame)->jpeg.data(), (*frame)->jpeg.size());
        });
}

void WebServerCore::ServeArchiveFile(WebRequestContext* context) {
    const std::optional<WebArchive> archive = FindArchive(storage_folder, context->request.day, context->request.name);
    const int fd = archive ? ::open(archive->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) ::close(fd);
        RespondText(context, SOUP_STATUS_NOT_FOUND, "no such archive");
        return;
    }
    context->file_fd = fd;
    context->file_remaining = info.st_size;
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message);
    soup_message_headers_set_content_length(headers, info.st_size);
    soup_message_headers_replace(headers, "Content-Type", "application/octet-stream");
    const std::string disposition = Attachment(context->request.name, ".cna");
    soup_message_headers_replace(headers, "Content-Disposition", disposition.c_str());
    soup_server_message_set_status(context->message, SOUP_STATUS_OK, nullptr);
    if (context->request.route == WebRoute::kArchive &&
        std::strcmp(soup_server_message_get_method(context->message), "HEAD") == 0) {
        Resume(context);
        return;
    }
    soup_message_body_set_accumulate(soup_server_message_get_response_body(context->message), FALSE);
    g_signal_connect(context->message, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                         auto* request = static_cast<WebRequestContext*>(data);
                         if (--request->chunks_in_flight == 0) request->core->PumpFile(request);
                     }),
                     context);
    PumpFile(context);
}

void WebServerCore::PumpFile(WebRequestContext* context) {
    SoupMessageBody* body = soup_server_message_get_response_body(context->message);
    if (context->file_remaining <= 0) {
        soup_message_body_complete(body);
        Resume(context);
        return;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(context->file_remaining, kFileChunkBytes));
    auto* chunk = static_cast<char*>(g_malloc(want));
    const ssize_t got = ::read(context->file_fd, chunk, want);
    if (got <= 0) {
        // The file shrank or failed under us: the answer ends short, and the client sees it.
        g_free(chunk);
        qCWarning(lcWeb).noquote() << "archive download of" << Text(context->request.name) << "ends early:"
                                   << (got < 0 ? Text(ErrnoText(errno)) : QStringLiteral("the file is shorter"));
        soup_message_body_complete(body);
        Resume(context);
        return;
    }
    context->file_remaining -= got;
    soup_message_body_append_take(body, reinterpret_cast<guchar*>(chunk), static_cast<gsize>(got));
    ++context->chunks_in_flight;
    Resume(context);
}

void WebServerCore::ServeVideo(WebRequestContext* context) {
    const std::optional<WebArchive> archive = FindArchive(storage_folder, context->request.day, context->request.name);
    if (!archive) {
        RespondText(context, SOUP_STATUS_NOT_FOUND, "no such archive");
        return;
    }
    std::string error;
    auto video = std::make_unique<CStreamedExport>();
    if (!video->Start(archive->path, error)) {
        qCWarning(lcWeb).noquote() << "video of" << Text(archive->path) << "not made:" << Text(error);
        RespondText(context, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the video cannot be made: " + error);
        return;
    }
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_replace(headers, "Content-Type", "video/x-matroska");
    const std::string disposition = Attachment(context->request.name, ".mkv");
    soup_message_headers_replace(headers, "Content-Disposition", disposition.c_str());
    soup_server_message_set_status(context->message, SOUP_STATUS_OK, nullptr);
    soup_message_body_set_accumulate(soup_server_message_get_response_body(context->message), FALSE);
    context->video = std::move(video);
    g_signal_connect(context->message, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                         auto* request = static_cast<WebRequestContext*>(data);
                         if (--request->chunks_in_flight == 0) request->core->PumpVideo(request);
                     }),
                     context);
    PumpVideo(context);
}

void WebServerCore::PumpVideo(WebRequestContext* context) {
    SoupMessageBody* body = soup_server_message_get_response_body(context->message);
    std::vector<uint8_t> chunk;
    switch (context->video->Read(chunk, kFileChunkBytes)) {
        case CStreamedExport::ReadResult::kData:
            soup_message_body_append(body, SOUP_MEMORY_COPY, chunk.data(), chunk.size());
            ++context->chunks_in_flight;
            Resume(context);
            return;
        case CStreamedExport::ReadResult::kWait:
            // The muxer has not written more yet; look again shortly.
            Pause(context);
            SetTimer(context, 20, [](gpointer data) -> gboolean {
                auto* waiting = static_cast<WebRequestContext*>(data);
                g_source_unref(waiting->timer);
                waiting->timer = nullptr;
                waiting->core->PumpVideo(waiting);
                return G_SOURCE_REMOVE;
            });
            return;
        case CStreamedExport::ReadResult::kEnd: break;
        case CStreamedExport::ReadResult::kFailed:
            qCWarning(lcWeb).noquote() << "video of" << Text(context->request.name)
                                       << "ends early:" << Text(context->video->Error());
            break;
    }
    soup_message_body_complete(body);
    Resume(context);
}

void WebServerCore::ServeLive(WebRequestContext* context) {
    if (frames == nullptr) {
        RespondText(context, SOUP_STATUS_SERVICE_UNAVAILABLE, "no live picture here: recordings only");
        return;
    }
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    const std::string type = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
    soup_message_headers_replace(headers, "Content-Type", type.c_str());
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    soup_server_message_set_status(context->message, SOUP_STATUS_OK, nullptr);
    if (std::strcmp(soup_server_message_get_method(context->message), "HEAD") == 0) {
        soup_message_body_complete(soup_server_message_get_response_body(context->message));
        Resume(context);
        return;
    }
    // What has been written is let go at once: a client holds at most the frame it is being sent.
    soup_message_body_set_accumulate(soup_server_message_get_response_body(context->message), FALSE);
    g_signal_connect(context->message, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                         auto* request = static_cast<WebRequestContext*>(data);
                         if (--request->chunks_in_flight == 0) request->core->SendNextFrame(request);
                     }),
                     context);
    SendNextFrame(context);
}

void WebServerCore::SendNextFrame(WebRequestContext* context) {
    if (context->chunks_in_flight > 0) return;
    const std::shared_ptr<const ViewerJpeg> newest = frames->Newest();
    if (!newest || newest->sequence <= context->last_sequence) {
        // Ready for a frame and none is newer: wait for the next one, writing nothing.
        context->is_waiting_for_frame = true;
        frames->Want();
        Pause(context);
        return;
    }
    context->last_sequence = newest->sequence;
    SoupMessageBody* body = soup_server_message_get_response_body(context->message);
    const std::string head = std::string("--") + kBoundary +
                             "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(newest->bytes.size()) +
                             "\r\n\r\n";
    soup_message_body_append(body, SOUP_MEMORY_COPY, head.data(), head.size());
    // The frame itself is shared with every other viewer, not copied.
    GBytes* bytes = g_bytes_new_with_free_func(newest->bytes.data(), newest->bytes.size(), FreeSharedFrame,
                                               new std::shared_ptr<const ViewerJpeg>(newest));
    soup_message_body_append_bytes(body, bytes);
    g_bytes_unref(bytes);
    soup_message_body_append(body, SOUP_MEMORY_STATIC, "\r\n", 2);
    context->chunks_in_flight = 3;
    Resume(context);
}

void WebServerCore::ServeSnapshot(WebRequestContext* context) {
    if (frames == nullptr) {
        RespondText(context, SOUP_STATUS_SERVICE_UNAVAILABLE, "no live picture here: recordings only");
        return;
    }
    // A picture of now: the next frame, not one kept from a while ago.
    const std::shared_ptr<const ViewerJpeg> newest = frames->Newest();
    context->last_sequence = newest ? newest->sequence : 0;
    context->is_waiting_for_frame = true;
    frames->Want();
    Pause(context);
    SetTimer(context, kSnapshotWaitMs, [](gpointer data) -> gboolean {
        auto* waiting = static_cast<WebRequestContext*>(data);
        g_source_unref(waiting->timer);
        waiting->timer = nullptr;
        waiting->is_waiting_for_frame = false;
        waiting->core->RespondText(waiting, SOUP_STATUS_SERVICE_UNAVAILABLE, "no live picture: the camera sends none");
        return G_SOURCE_REMOVE;
    });
}

void WebServerCore::OnFrameReady() {
    const std::shared_ptr<const ViewerJpeg> newest = frames ? frames->Newest() : nullptr;
    if (!newest) return;
    // Copied first: answering a snapshot may finish its message.
    const std::vector<WebRequestContext*> waiting(requests.begin(), requests.end());
    for (WebRequestContext* context : waiting) {
        if (!context->is_waiting_for_frame || newest->sequence <= context->last_sequence) continue;
        context->is_waiting_for_frame = false;
        if (context->request.route == WebRoute::kSnapshot) {
            if (context->timer) {
                g_source_destroy(context->timer);
                g_source_unref(context->timer);
                context->timer = nullptr;
            }
            soup_message_headers_replace(soup_server_message_get_response_headers(context->message), "Cache-Control",
                                         "no-store");
            Respond(context, SOUP_STATUS_OK, "image/jpeg", newest->bytes.data(), newest->bytes.size());
        } else {
            SendNextFrame(context);
        }
    }
}

// ---------------------------------------------------------------- connections

namespace {

void OnRequestFinished(SoupServerMessage*, gpointer data) {
    auto* context = static_cast<WebRequestContext*>(data);
    context->core->requests.erase(context);
    if (context->verification != 0) context->core->verifying.erase(context->verification);
    delete context;
}

// Runs once a request's headers are read, before its body: nothing here has a body, and one is
// refused before a byte of it is read, without "100 Continue", and its connection closed.
void OnEarlyRequest(SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer) {
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const SoupEncoding encoding = soup_message_headers_get_encoding(headers);
    const bool has_body =
        encoding == SOUP_ENCODING_CHUNKED || encoding == SOUP_ENCODING_EOF || encoding == SOUP_ENCODING_BYTERANGES ||
        (encoding == SOUP_ENCODING_CONTENT_LENGTH && soup_message_headers_get_content_length(headers) > 0);
    if (!has_body) return;
    // libsoup goes on to read a body whatever the status says, unless "100-continue" was asked:
    // the connection is taken from it, answered by hand and closed.
    static constexpr char kAnswer[] =
        "HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nCache-Control: no-store\r\n"
        "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 43\r\n\r\n"
        "requests with a body are not answered here\n";
    GIOStream* stream = soup_server_message_steal_connection(message);
    if (stream == nullptr) return;
    GErrorOwner error;
    if (!g_output_stream_write_all(g_io_stream_get_output_stream(stream), kAnswer, sizeof kAnswer - 1, nullptr, nullptr,
                                   &error.error)) {
        qCDebug(lcWeb).noquote() << "a refusal of a body was not sent:" << Text(error.Message());
    }
    g_io_stream_close(stream, nullptr, nullptr);
    g_object_unref(stream);
}

// A connection's next request has begun: its headers have the deadline from now (or from the
// connection's start, for its first).
void OnRequestStarted(SoupServer*, SoupServerMessage* message, gpointer data) {
    auto* core = static_cast<WebServerCore*>(data);
    WebServerCore::Connection* connection =
        core->FindConnection(PeerText(soup_server_message_get_remote_address(message)));
    if (connection == nullptr) return;
    core->ArmDeadline(*connection);
    g_signal_connect(message, "got-headers", G_CALLBACK(+[](SoupServerMessage* started, gpointer core_data) {
                         auto* owner = static_cast<WebServerCore*>(core_data);
                         WebServerCore::Connection* on =
                             owner->FindConnection(PeerText(soup_server_message_get_remote_address(started)));
                         if (on != nullptr) WebServerCore::DisarmDeadline(*on);
                     }),
                     core);
}

void OnRequest(SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer data) {
    auto* core = static_cast<WebServerCore*>(data);
    auto* context = new WebRequestContext;
    context->core = core;
    context->message = SOUP_SERVER_MESSAGE(g_object_ref(message));
    const char* host = soup_server_message_get_remote_host(message);
    context->host = host ? host : "?";
    core->requests.insert(context);
    g_signal_connect(message, "finished", G_CALLBACK(OnRequestFinished), context);

    const std::string peer = PeerText(soup_server_message_get_remote_address(message));
    if (core->over_limit_peers.count(peer) != 0) {
        SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
        soup_message_headers_replace(headers, "Connection", "close");
        soup_message_headers_replace(headers, "Retry-After", "10");
        core->RespondText(context, SOUP_STATUS_SERVICE_UNAVAILABLE, "too many clients; try again later");
        return;
    }
    GUri* uri = soup_server_message_get_uri(message);
    const char* path = uri ? g_uri_get_path(uri) : "";
    const char* query = uri ? g_uri_get_query(uri) : nullptr;
    context->request = RouteRequest(soup_server_message_get_method(message), path ? path : "", query ? query : "");
    core->Handle(context);
}

void OnStreamGone(gpointer data, GObject* gone);

}  // namespace

// A connection kept alive ends with its stream closed, but the stream itself may live on inside
// libsoup for a while: closed ones are not counted.
void WebServerCore::PruneClosed() {
    std::vector<GObject*> closed;
    for (const auto& entry : streams) {
        if (g_io_stream_is_closed(G_IO_STREAM(entry.first))) closed.push_back(entry.first);
    }
    for (GObject* stream : closed) {
        g_object_weak_unref(stream, OnStreamGone, this);
        OnStreamGone(this, stream);
    }
}

namespace {

void OnStreamGone(gpointer data, GObject* gone) {
    auto* core = static_cast<WebServerCore*>(data);
    const auto found = core->streams.find(gone);
    qCDebug(lcWeb) << "connection gone" << (found != core->streams.end());
    if (found == core->streams.end()) return;
    if (found->second.is_over_limit) core->over_limit_peers.erase(found->second.peer);
    WebServerCore::DisarmDeadline(found->second);
    core->streams.erase(found);
}

gboolean OnIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer data) {
    auto* core = static_cast<WebServerCore*>(data);
    GSocket* socket = g_socket_connection_get_socket(connection);
    // An idle or stalled connection fails its next read or write, and is closed.
    g_socket_set_timeout(socket, static_cast<guint>(core->options.idle_timeout_s));
    GErrorOwner error;
    GRef<GSocketAddress> remote(g_socket_connection_get_remote_address(connection, &error.error));
    GRef<GSocketAddress> local(g_socket_connection_get_local_address(connection, nullptr));
    if (!remote || !local) {
        qCWarning(lcWeb).noquote() << "a connection without addresses is refused:" << Text(error.Message());
        return TRUE;
    }
    const std::string peer = PeerText(remote.get());
    core->PruneClosed();
    gchar* host_text = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(remote.get())));
    const std::string host = host_text;
    g_free(host_text);
    const auto from_host = std::count_if(core->streams.begin(), core->streams.end(),
                                         [&](const auto& entry) { return entry.second.host == host; });
    if (from_host >= core->options.max_clients_per_address) {
        // One address cannot take the room of all the others.
        qCDebug(lcWeb).noquote() << "too many connections from" << Text(host) << ": one more is closed";
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        return TRUE;
    }
    const bool is_over_limit = core->CountClients(false) >= core->options.max_clients;
    if (is_over_limit && core->CountClients(true) >= core->options.max_clients) {
        // Even the refusals are bounded: these are closed without an answer.
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        return TRUE;
    }
    GIOStream* stream = G_IO_STREAM(connection);
    GRef<GIOStream> tls;
    if (core->certificate) {
        tls = GRef<GIOStream>(g_tls_server_connection_new(stream, core->certificate.get(), &error.error));
        if (!tls) {
            qCWarning(lcWeb).noquote() << "TLS cannot start for" << Text(peer) << ":" << Text(error.Message());
            return TRUE;
        }
        stream = tls.get();
    }
    if (is_over_limit) {
        core->over_limit_peers.insert(peer);
        qCInfo(lcWeb).noquote() << "too many clients:" << Text(peer) << "is turned away";
    }
    WebServerCore::Connection& entry = core->streams[G_OBJECT(stream)];
    entry.peer = peer;
    entry.host = host;
    entry.is_over_limit = is_over_limit;
    entry.socket = socket;
    core->ArmDeadline(entry);
    qCDebug(lcWeb).noquote() << "connection from" << Text(peer) << "clients:" << core->streams.size();
    g_object_weak_ref(G_OBJECT(stream), OnStreamGone, core);
    if (!soup_server_accept_iostream(core->server.get(), stream, local.get(), remote.get(), &error.error)) {
        qCWarning(lcWeb).noquote() << "connection from" << Text(peer) << "not taken:" << Text(error.Message());
        g_object_weak_unref(G_OBJECT(stream), OnStreamGone, core);
        OnStreamGone(core, G_OBJECT(stream));
    }
    return TRUE;
}

}  // namespace

// ---------------------------------------------------------------- public

bool IsLoopbackAddress(const std::string& address) {
    GRef<GInetAddress> inet(g_inet_address_new_from_string(address.c_str()));
    return inet && g_inet_address_get_is_loopback(inet.get());
}

std::string ListenRefusal(const WebServerOptions& options) {
    if (options.addresses.empty()) return "no address to listen on";
    const bool is_loopback_only = std::all_of(options.addresses.begin(), options.addresses.end(), IsLoopbackAddress);
    if (is_loopback_only) return {};
    if (options.user.empty() || options.password_hash.empty()) {
        return "listening beyond this computer needs a user name and password (--password-file)";
    }
    if (options.tls.certificate_path.empty() && !options.is_insecure_http) {
        return "listening beyond this computer needs HTTPS (a certificate, or --insecure-http to send in the clear)";
    }
    return {};
}

bool ParseListenAddress(const std::string& text, WebServerOptions& options, std::string& error) {
    const size_t colon = text.find_last_of(':');
    if (colon == std::string::npos) {
        error = "--listen takes ADDRESS:PORT, not '" + text + "'";
        return false;
    }
    std::string host = text.substr(0, colon);
    const std::string port_text = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    const long port = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || port < 0 || port > 65535) {
        error = "--listen takes a port from 0 to 65535, not '" + port_text + "'";
        return false;
    }
    if (host == "localhost") {
        options.addresses = {"127.0.0.1", "::1"};
    } else {
        GRef<GInetAddress> inet(g_inet_address_new_from_string(host.c_str()));
        if (!inet) {
            error = "--listen takes an IP address (or localhost), not '" + host + "'";
            return false;
        }
        options.addresses = {host};
    }
    options.port = static_cast<uint16_t>(port);
    return true;
}

CWebServer::CWebServer(std::string storage_folder, CViewerFrames* frames, std::function<WebLiveStatus()> status)
    : core_(std::make_unique<WebServerCore>()) {
    core_->storage_folder = std::move(storage_folder);
    core_->frames = frames;
    core_->status = std::move(status);
}

CWebServer::~CWebServer() { Stop(); }

bool CWebServer::Start(const WebServerOptions& options, std::string& error) {
    Stop();
    WebServerCore& core = *core_;
    error = ListenRefusal(options);
    if (!error.empty()) return false;
    core.options = options;
    core.credentials = std::make_unique<CWebCredentials>(options.user, options.password_hash);
    core.main_context = g_main_context_ref_thread_default();
    if (core.credentials->IsSet()) {
        core.verifier = std::make_unique<CPasswordVerifier>(options.user, options.password_hash, core.main_context);
        core.failure_summary = g_timeout_source_new_seconds(CFailureLog::kSummaryIntervalS);
        g_source_set_callback(
            core.failure_summary,
            [](gpointer data) -> gboolean {
                static_cast<WebServerCore*>(data)->LogFailureSummary();
                return G_SOURCE_CONTINUE;
            },
            &core, nullptr);
        g_source_attach(core.failure_summary, core.main_context);
    }
    if (!options.tls.certificate_path.empty()) {
        std::string warning;
        if (!CheckKeyFileMode(options.tls.key_path, error, warning)) {
            Stop();
            return false;
        }
        if (!warning.empty()) qCWarning(lcWeb).noquote() << Text(warning);
        if (!RestrictTlsVersions(kTlsPriority, error)) {
            Stop();
            return false;
        }
        GErrorOwner tls_error;
        core.certificate = GRef<GTlsCertificate>(g_tls_certificate_new_from_files(
            options.tls.certificate_path.c_str(), options.tls.key_path.c_str(), &tls_error.error));
        if (!core.certificate) {
            error = "cannot read the certificate " + options.tls.certificate_path + ": " + tls_error.Message();
            Stop();
            return false;
        }
    }
    core.server = GRef<SoupServer>(soup_server_new("server-header", "Cindral", nullptr));
    soup_server_add_early_handler(core.server.get(), nullptr, OnEarlyRequest, &core, nullptr);
    soup_server_add_handler(core.server.get(), nullptr, OnRequest, &core, nullptr);
    g_signal_connect(core.server.get(), "request-started", G_CALLBACK(OnRequestStarted), &core);
    core.service = GRef<GSocketService>(g_socket_service_new());
    uint16_t port = options.port;
    std::string failures;
    int bound = 0;
    for (const std::string& address : options.addresses) {
        GRef<GInetAddress> inet(g_inet_address_new_from_string(address.c_str()));
        if (!inet) {
            error = "not an IP address: " + address;
            Stop();
            return false;
        }
        GRef<GSocketAddress> socket_address(g_inet_socket_address_new(inet.get(), port));
        GSocketAddress* effective = nullptr;
        GErrorOwner bind_error;
        if (!g_socket_listener_add_address(G_SOCKET_LISTENER(core.service.get()), socket_address.get(),
                                           G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr, &effective,
                                           &bind_error.error)) {
            failures += (failures.empty() ? "" : "; ") + bind_error.Message();
            continue;
        }
        GRef<GSocketAddress> taken(effective);
        port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(taken.get()));
        ++bound;
    }
    if (bound == 0) {
        error = "cannot listen: " + failures;
        Stop();
        return false;
    }
    // A system without IPv6 still serves IPv4, and a dual-stack one serves IPv4 through IPv6.
    if (!failures.empty()) qCInfo(lcWeb).noquote() << "not every address is served:" << Text(failures);
    core.port = port;
    g_signal_connect(core.service.get(), "incoming", G_CALLBACK(OnIncoming), &core);
    g_socket_service_start(core.service.get());

    core.wake = std::make_shared<WebWake>();
    core.wake->core = &core;
    core.wake->context = g_main_context_ref(core.main_context);
    if (core.frames) {
        std::weak_ptr<WebWake> weak = core.wake;
        core.frames->SetListener([weak] {
            const std::shared_ptr<WebWake> wake = weak.lock();
            if (!wake) return;
            {
                const std::lock_guard<std::mutex> lock(wake->mutex);
                if (wake->is_pending || wake->core == nullptr) return;
                wake->is_pending = true;
            }
            // Always through a source of the server's context: invoking could run it on this
            // thread when that context happens to be this thread's default and idle.
            auto* handed = new std::shared_ptr<WebWake>(wake);
            GSource* source = g_idle_source_new();
            g_source_set_priority(source, G_PRIORITY_DEFAULT);
            g_source_set_callback(
                source,
                [](gpointer data) -> gboolean {
                    MarkReceived(data);
                    const std::shared_ptr<WebWake>& woken = *static_cast<std::shared_ptr<WebWake>*>(data);
                    WebServerCore* target = nullptr;
                    {
                        const std::lock_guard<std::mutex> lock(woken->mutex);
                        woken->is_pending = false;
                        target = woken->core;
                    }
                    if (target) target->OnFrameReady();
                    return G_SOURCE_REMOVE;
                },
                handed,
                [](gpointer data) {
                    MarkReceived(data);
                    delete static_cast<std::shared_ptr<WebWake>*>(data);
                });
            MarkHandedOver(handed);
            g_source_attach(source, wake->context);
            g_source_unref(source);
        });
    }
    qCInfo(lcWeb).noquote() << "serving" << Text(Url());
    return true;
}

void CWebServer::Stop() {
    WebServerCore& core = *core_;
    if (core.frames) core.frames->SetListener({});
    if (core.wake) {
        const std::lock_guard<std::mutex> lock(core.wake->mutex);
        core.wake->core = nullptr;
    }
    core.wake.reset();
    if (core.service) {
        g_socket_service_stop(core.service.get());
        g_socket_listener_close(G_SOCKET_LISTENER(core.service.get()));
        g_signal_handlers_disconnect_by_data(core.service.get(), &core);
    }
    // Checks still running are dropped with the verifier; their requests go below.
    core.verifier.reset();
    core.verifying.clear();
    if (core.failure_summary) {
        g_source_destroy(core.failure_summary);
        g_source_unref(core.failure_summary);
        core.failure_summary = nullptr;
    }
    if (core.server) soup_server_disconnect(core.server.get());
    // Messages still alive are finished by the disconnect or never again: their contexts go now.
    for (WebRequestContext* context : core.requests) {
        g_signal_handlers_disconnect_by_data(context->message, context);
        delete context;
    }
    core.requests.clear();
    for (auto& entry : core.streams) {
        WebServerCore::DisarmDeadline(entry.second);
        g_object_weak_unref(entry.first, OnStreamGone, &core);
    }
    core.streams.clear();
    core.over_limit_peers.clear();
    core.server = GRef<SoupServer>();
    core.service = GRef<GSocketService>();
    core.certificate = GRef<GTlsCertificate>();
    if (core.main_context) g_main_context_unref(core.main_context);
    core.main_context = nullptr;
    core.port = 0;
}

bool CWebServer::IsRunning() const { return core_->server.get() != nullptr; }
uint16_t CWebServer::Port() const { return core_->port; }

std::string CWebServer::Url() const {
    if (!IsRunning() || core_->options.addresses.empty()) return {};
    std::string host = core_->options.addresses.front();
    if (host == "::" || host == "0.0.0.0") {
        char name[256] = "localhost";
        if (::gethostname(name, sizeof name - 1) != 0) std::strcpy(name, "localhost");
        host = name;
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    return std::string(core_->certificate ? "https://" : "http://") + host + ":" + std::to_string(core_->port) + "/";
}

void CWebServer::SetStorageFolder(std::string storage_folder) { core_->storage_folder = std::move(storage_folder); }

int CWebServer::ClientCount() const {
    core_->PruneClosed();
    return core_->CountClients(false);
}
