#include <gio/gio.h>
#include <libsoup/soup.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "platform/tick_clock.h"
#include "storage/retention.h"
#include "web/web_catalogue.h"
#include "web/web_catalogue_jobs.h"
#include "web/web_log.h"
#include "web/web_server_core.h"

// ---------------------------------------------------------------- answers

void WebServerCore::Pause(WebRequestContext* context) {
    if (context->is_paused) return;
    soup_server_message_pause(context->message.get());
    context->is_paused = true;
}

void WebServerCore::Resume(WebRequestContext* context) {
    if (!context->is_paused) return;
    context->is_paused = false;
    soup_server_message_unpause(context->message.get());
}

void WebServerCore::Respond(WebRequestContext* context, guint http_status, const char* type, const void* data,
                            size_t size) {
    soup_server_message_set_status(context->message.get(), http_status, nullptr);
    soup_server_message_set_response(context->message.get(), type, SOUP_MEMORY_COPY, static_cast<const char*>(data),
                                     size);
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
    context->timer = GAttachedSourcePtr(g_timeout_source_new(static_cast<guint>(delay_ms)));
    g_source_set_callback(context->timer.get(), function, context, nullptr);
    g_source_attach(context->timer.get(), main_context.get());
}

// ---------------------------------------------------------------- requests

void WebServerCore::Handle(WebRequestContext* context) {
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message.get());
    soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_replace(headers, "Referrer-Policy", "no-referrer");
    soup_message_headers_replace(headers, "X-Frame-Options", "DENY");
    // The client's own close, or HTTP/1.0's default, ends the connection after this answer.
    SoupMessageHeaders* asked = soup_server_message_get_request_headers(context->message.get());
    const bool is_closing = soup_message_headers_header_contains(asked, "Connection", "close") ||
                            (soup_server_message_get_http_version(context->message.get()) == SOUP_HTTP_1_0 &&
                             !soup_message_headers_header_contains(asked, "Connection", "Keep-Alive"));
    if (is_closing) soup_message_headers_replace(headers, "Connection", "close");
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
        soup_message_headers_get_one(soup_server_message_get_request_headers(context->message.get()), "Authorization");
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
    soup_message_headers_replace(soup_server_message_get_response_headers(context->message.get()), "WWW-Authenticate",
                                 "Basic realm=\"Cindral\", charset=\"UTF-8\"");
    RespondText(context, SOUP_STATUS_UNAUTHORIZED, "a user name and password are needed");
}

void WebServerCore::RespondClosing(WebRequestContext* context, guint http_status, int64_t retry_after_ms,
                                   const std::string& text) {
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message.get());
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

void WebServerCore::Authorized(WebRequestContext* context) {
    switch (context->request.route) {
        case WebRoute::kNotFound: RespondText(context, SOUP_STATUS_NOT_FOUND, "not found"); return;
        case WebRoute::kMethodNotAllowed:
            soup_message_headers_replace(soup_server_message_get_response_headers(context->message.get()), "Allow",
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
        case WebRoute::kArchive:
        case WebRoute::kVideo: ServeDownload(context); return;
        case WebRoute::kEvents: ServeEvents(context); return;
        case WebRoute::kEventPicture: ServeEventPicture(context); return;
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
    soup_message_headers_replace(soup_server_message_get_response_headers(context->message.get()),
                                 "Content-Security-Policy",
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
                soup_message_headers_replace(soup_server_message_get_response_headers(context->message.get()),
                                             "X-Record-Time", (*frame)->time.c_str());
            }
            Respond(context, SOUP_STATUS_OK, "image/jpeg", (*frame)->jpeg.data(), (*frame)->jpeg.size());
        });
}
