#include "web/web_server.h"

#include <gio/gio.h>
#include <gnutls/gnutls.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "capture/viewer_frames.h"
#include "platform/thread_handover.h"
#include "web/web_log.h"
#include "web/web_server_core.h"
#include "web/web_tls.h"

namespace {

constexpr int kCloseRecheckMs = 100;
// TLS 1.2 and 1.3 only, with forward secrecy and AEAD ciphers only.
constexpr char kTlsPriority[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+CHACHA20-POLY1305:+AES-256-GCM:+AES-128-GCM:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA";

std::string PeerText(GSocketAddress* address) {
    if (address == nullptr || !G_IS_INET_SOCKET_ADDRESS(address)) return "?";
    GInetSocketAddress* inet = G_INET_SOCKET_ADDRESS(address);
    const GCharPtr host(g_inet_address_to_string(g_inet_socket_address_get_address(inet)));
    return std::string(host.get()) + ":" + std::to_string(g_inet_socket_address_get_port(inet));
}

}  // namespace

// Not const, though no field changes: it adds a source to the server's main context.
// NOLINTNEXTLINE(readability-make-member-function-const)
void WebServerCore::ArmDeadline(Connection& connection) {
    if (connection.deadline != nullptr) return;
    // Milliseconds, not whole seconds: GLib may fire a seconds timeout up to a second early.
    connection.deadline =
        GAttachedSourcePtr(g_timeout_source_new(static_cast<guint>(options.header_deadline_s) * 1000u));
    g_source_set_callback(
        connection.deadline.get(),
        [](gpointer data) -> gboolean {
            // Ending the socket fails libsoup's pending read, and the connection is dropped.
            auto* socket = static_cast<GSocket*>(data);
            qCDebug(lcWeb) << "a connection took too long to send its request's headers";
            g_socket_shutdown(socket, TRUE, TRUE, nullptr);
            return G_SOURCE_REMOVE;
        },
        connection.socket, nullptr);
    g_source_attach(connection.deadline.get(), main_context.get());
}

void WebServerCore::DisarmDeadline(Connection& connection) { connection.deadline.reset(); }

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
    const GObjectPtr<GIOStream> stolen(stream);
    GErrorPtr error;
    if (!g_output_stream_write_all(g_io_stream_get_output_stream(stream), kAnswer, sizeof kAnswer - 1, nullptr, nullptr,
                                   GErrorSlot(error))) {
        qCDebug(lcWeb).noquote() << "a refusal of a body was not sent:" << Text(GErrorText(error));
    }
    g_io_stream_close(stream, nullptr, nullptr);
}

// A connection's next request has begun: its headers have the deadline from now (or from the
// connection's start, for its first).
void OnRequestStarted(SoupServer*, SoupServerMessage* message, gpointer data) {
    auto* core = static_cast<WebServerCore*>(data);
    WebServerCore::Connection* connection =
        core->FindConnection(PeerText(soup_server_message_get_remote_address(message)));
    if (connection == nullptr) return;
    core->ArmDeadline(*connection);
    core->Watch(*connection, message);
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
    context->message = ShareGObject(message);
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

}  // namespace

namespace {
void OnMessageGone(gpointer data, GObject* gone) { static_cast<WebServerCore*>(data)->MessageGone(gone); }
}  // namespace

void WebServerCore::Watch(Connection& connection, SoupServerMessage* message) {
    Unwatch(connection);
    StopWatchingForClose(connection);
    connection.message = G_OBJECT(message);
    g_object_weak_ref(connection.message, OnMessageGone, this);
}

void WebServerCore::Unwatch(Connection& connection) {
    if (connection.message == nullptr) return;
    g_object_weak_unref(connection.message, OnMessageGone, this);
    connection.message = nullptr;
}

// Between two requests of a kept-alive connection libsoup waits for the next one, but a client
// that closes then is never noticed (libsoup does not close a stream it was handed): the socket
// is watched from the end of a request to the start of the next, and closed at its end of file.
// Data seen first is the next request, or TLS's closing alert, which libsoup reads in its turn;
// the socket is looked at again shortly.
void WebServerCore::MessageGone(GObject* gone) {
    for (auto& [stream, connection] : streams) {
        if (connection.message != gone) continue;
        connection.message = nullptr;
        WatchForClose(connection, 0);
        break;
    }
    PruneClosed();
}

void WebServerCore::WatchForClose(Connection& connection, int delay_ms) {
    StopWatchingForClose(connection);
    if (g_socket_is_closed(connection.socket)) return;  // closed with its answer
    if (delay_ms > 0) {
        connection.close_watch = GAttachedSourcePtr(g_timeout_source_new(static_cast<guint>(delay_ms)));
        g_source_set_callback(
            connection.close_watch.get(),
            [](gpointer data) -> gboolean {
                auto* socket = static_cast<GSocket*>(data);
                WebServerCore* core = CoreOfSocket(socket);
                if (core != nullptr) core->CheckForClose(socket);
                return G_SOURCE_REMOVE;
            },
            connection.socket, nullptr);
    } else {
        connection.close_watch = GAttachedSourcePtr(g_socket_create_source(
            connection.socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr));
        g_source_set_callback(connection.close_watch.get(),
                              G_SOURCE_FUNC(+[](GSocket* socket, GIOCondition, gpointer) -> gboolean {
                                  WebServerCore* core = CoreOfSocket(socket);
                                  if (core != nullptr) core->CheckForClose(socket);
                                  return G_SOURCE_REMOVE;
                              }),
                              nullptr, nullptr);
    }
    g_object_set_data(G_OBJECT(connection.socket), "cindral-core", this);
    g_source_attach(connection.close_watch.get(), main_context.get());
}

void WebServerCore::StopWatchingForClose(Connection& connection) { connection.close_watch.reset(); }

void WebServerCore::CheckForClose(GSocket* socket) {
    for (auto& [stream, connection] : streams) {
        if (connection.socket != socket) continue;
        connection.close_watch.reset();
        char byte = 0;
        const ssize_t peeked = recv(g_socket_get_fd(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked > 0 || (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
            if (connection.message == nullptr) WatchForClose(connection, kCloseRecheckMs);
            return;
        }
        qCDebug(lcWeb).noquote() << "connection from" << Text(connection.peer) << "closed by the client";
        g_io_stream_close(connection.stream.get(), nullptr, nullptr);
        PruneClosed();
        return;
    }
}

// A connection ends when its stream is closed, by libsoup or by us. The table holds a reference
// to each stream, so that one is never finalised (maybe on a TLS worker thread) while listed.
void WebServerCore::PruneClosed() {
    for (auto found = streams.begin(); found != streams.end();) {
        if (!g_io_stream_is_closed(found->second.stream.get())) {
            ++found;
            continue;
        }
        if (found->second.is_over_limit) over_limit_peers.erase(found->second.peer);
        DisarmDeadline(found->second);
        Unwatch(found->second);
        StopWatchingForClose(found->second);
        found = streams.erase(found);
    }
}

namespace {

gboolean OnIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer data) {
    auto* core = static_cast<WebServerCore*>(data);
    GSocket* socket = g_socket_connection_get_socket(connection);
    // An idle or stalled connection fails its next read or write, and is closed.
    g_socket_set_timeout(socket, static_cast<guint>(core->options.idle_timeout_s));
    GErrorPtr error;
    GObjectPtr<GSocketAddress> remote(g_socket_connection_get_remote_address(connection, GErrorSlot(error)));
    GObjectPtr<GSocketAddress> local(g_socket_connection_get_local_address(connection, nullptr));
    if (!remote || !local) {
        qCWarning(lcWeb).noquote() << "a connection without addresses is refused:" << Text(GErrorText(error));
        return TRUE;
    }
    const std::string peer = PeerText(remote.get());
    core->PruneClosed();
    const GCharPtr host_text(
        g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(remote.get()))));
    const std::string host = host_text.get();
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
    GObjectPtr<GIOStream> tls;
    if (core->certificate) {
        tls = GObjectPtr<GIOStream>(g_tls_server_connection_new(stream, core->certificate.get(), GErrorSlot(error)));
        if (!tls) {
            qCWarning(lcWeb).noquote() << "TLS cannot start for" << Text(peer) << ":" << Text(GErrorText(error));
            return TRUE;
        }
        stream = tls.get();
    }
    if (is_over_limit) {
        core->over_limit_peers.insert(peer);
        qCInfo(lcWeb).noquote() << "too many clients:" << Text(peer) << "is turned away";
    }
    WebServerCore::Connection& entry = core->streams[G_OBJECT(stream)];
    entry.stream = ShareGObject(stream);
    entry.peer = peer;
    entry.host = host;
    entry.is_over_limit = is_over_limit;
    entry.socket = socket;
    core->ArmDeadline(entry);
    qCDebug(lcWeb).noquote() << "connection from" << Text(peer) << "clients:" << core->streams.size();
    if (!soup_server_accept_iostream(core->server.get(), stream, local.get(), remote.get(), GErrorSlot(error))) {
        qCWarning(lcWeb).noquote() << "connection from" << Text(peer) << "not taken:" << Text(GErrorText(error));
        g_io_stream_close(stream, nullptr, nullptr);
        core->PruneClosed();
    }
    return TRUE;
}

// A socket listening at address:port (0: any port); on the IPv6 any address it takes IPv4 as
// well where the system allows, so that one socket serves both.
GObjectPtr<GSocket> ListeningSocket(GInetAddress* address, uint16_t port, GError** error) {
    const GSocketFamily family = g_inet_address_get_family(address);
    GObjectPtr<GSocket> socket(g_socket_new(family, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, error));
    if (!socket) return {};
    if (family == G_SOCKET_FAMILY_IPV6 && g_inet_address_get_is_any(address)) {
        // Not fatal: without dual stack the IPv4 address is bound on its own.
        g_socket_set_option(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, 0, nullptr);
    }
    GObjectPtr<GSocketAddress> socket_address(g_inet_socket_address_new(address, port));
    if (!g_socket_bind(socket.get(), socket_address.get(), TRUE, error) || !g_socket_listen(socket.get(), error))
        return {};
    return socket;
}

}  // namespace

// ---------------------------------------------------------------- public

bool IsLoopbackAddress(const std::string& address) {
    GObjectPtr<GInetAddress> inet(g_inet_address_new_from_string(address.c_str()));
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
        GObjectPtr<GInetAddress> inet(g_inet_address_new_from_string(host.c_str()));
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

namespace {

// Calls Method on the server's context every interval_ms while the source is held.
template <void (WebServerCore::*Method)()>
GAttachedSourcePtr EveryInterval(WebServerCore& core, guint interval_ms) {
    GAttachedSourcePtr source(g_timeout_source_new(interval_ms));
    g_source_set_callback(
        source.get(),
        [](gpointer data) -> gboolean {
            (static_cast<WebServerCore*>(data)->*Method)();
            return G_SOURCE_CONTINUE;
        },
        &core, nullptr);
    g_source_attach(source.get(), core.main_context.get());
    return source;
}

}  // namespace

CWebServer::~CWebServer() { Stop(); }

bool CWebServer::Start(const WebServerOptions& options, std::string& error) {
    Stop();
    WebServerCore& core = *core_;
    error = ListenRefusal(options);
    if (!error.empty()) return false;
    core.options = options;
    core.credentials = std::make_unique<CWebCredentials>(options.user, options.password_hash);
    core.main_context = GMainContextPtr(g_main_context_ref_thread_default());
    // libsoup closes a connection it is done with, and says nothing: closed ones are let go here.
    core.prune_timer = EveryInterval<&WebServerCore::PruneClosed>(core, WebServerCore::kPruneIntervalMs);
    if (core.credentials->IsSet()) {
        core.verifier =
            std::make_unique<CPasswordVerifier>(options.user, options.password_hash, core.main_context.get());
        core.failure_summary =
            EveryInterval<&WebServerCore::LogFailureSummary>(core, CFailureLog::kSummaryIntervalS * 1000u);
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
        GErrorPtr tls_error;
        core.certificate = GObjectPtr<GTlsCertificate>(g_tls_certificate_new_from_files(
            options.tls.certificate_path.c_str(), options.tls.key_path.c_str(), GErrorSlot(tls_error)));
        if (!core.certificate) {
            error = "cannot read the certificate " + options.tls.certificate_path + ": " + GErrorText(tls_error);
            Stop();
            return false;
        }
    }
    core.server = GObjectPtr<SoupServer>(soup_server_new("server-header", "Cindral", nullptr));
    soup_server_add_early_handler(core.server.get(), nullptr, OnEarlyRequest, &core, nullptr);
    soup_server_add_handler(core.server.get(), nullptr, OnRequest, &core, nullptr);
    g_signal_connect(core.server.get(), "request-started", G_CALLBACK(OnRequestStarted), &core);
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("cannot make the socket pair that keeps connections alive: ") + g_strerror(errno);
        Stop();
        return false;
    }
    GErrorPtr pair_error;
    UniqueFd listener_end(pair[0]);
    UniqueFd peer_end(pair[1]);
    // A socket made from a descriptor owns it from then on.
    core.keep_alive_peer = GObjectPtr<GSocket>(g_socket_new_from_fd(peer_end.Get(), GErrorSlot(pair_error)));
    if (core.keep_alive_peer) {
        peer_end.Release();
        core.keep_alive_listener =
            GObjectPtr<GSocket>(g_socket_new_from_fd(listener_end.Get(), GErrorSlot(pair_error)));
        if (core.keep_alive_listener) listener_end.Release();
    }
    if (!core.keep_alive_listener || !soup_server_listen_socket(core.server.get(), core.keep_alive_listener.get(),
                                                                SoupServerListenOptions{}, GErrorSlot(pair_error))) {
        error = "cannot keep connections alive: " + GErrorText(pair_error);
        Stop();
        return false;
    }
    core.service = GObjectPtr<GSocketService>(g_socket_service_new());
    uint16_t port = options.port;
    std::string failures;
    int bound = 0;
    bool is_ipv4_served = false;  // by a dual-stack socket on the IPv6 any address
    for (const std::string& address : options.addresses) {
        GObjectPtr<GInetAddress> inet(g_inet_address_new_from_string(address.c_str()));
        if (!inet) {
            error = "not an IP address: " + address;
            Stop();
            return false;
        }
        const bool is_any = g_inet_address_get_is_any(inet.get());
        const bool is_ipv6 = g_inet_address_get_family(inet.get()) == G_SOCKET_FAMILY_IPV6;
        // The IPv6 socket already takes IPv4: a second bind would only fail as "in use".
        if (is_any && !is_ipv6 && is_ipv4_served) continue;
        GErrorPtr bind_error;
        const GObjectPtr<GSocket> socket = ListeningSocket(inet.get(), port, GErrorSlot(bind_error));
        if (!socket || !g_socket_listener_add_socket(G_SOCKET_LISTENER(core.service.get()), socket.get(), nullptr,
                                                     GErrorSlot(bind_error))) {
            failures += (failures.empty() ? "" : "; ") + address + ": " + GErrorText(bind_error);
            continue;
        }
        GErrorPtr address_error;
        const GObjectPtr<GSocketAddress> taken(g_socket_get_local_address(socket.get(), GErrorSlot(address_error)));
        if (taken) port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(taken.get()));
        if (is_any && is_ipv6 && g_socket_speaks_ipv4(socket.get())) is_ipv4_served = true;
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
    core.wake->context = GMainContextPtr(g_main_context_ref(core.main_context.get()));
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
            const GSourcePtr source(g_idle_source_new());
            g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
            g_source_set_callback(
                source.get(),
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
            g_source_attach(source.get(), wake->context.get());
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
    core.failure_summary.reset();
    core.prune_timer.reset();
    if (core.server) soup_server_disconnect(core.server.get());
    // Messages still alive are finished by the disconnect or never again: their contexts go now.
    for (WebRequestContext* context : core.requests) {
        g_signal_handlers_disconnect_by_data(context->message.get(), context);
        delete context;
    }
    core.requests.clear();
    for (auto& entry : core.streams) {
        WebServerCore::DisarmDeadline(entry.second);
        core.Unwatch(entry.second);
        WebServerCore::StopWatchingForClose(entry.second);
    }
    core.streams.clear();
    core.over_limit_peers.clear();
    core.server.reset();
    core.keep_alive_listener.reset();
    core.keep_alive_peer.reset();
    core.service.reset();
    core.certificate.reset();
    core.main_context.reset();
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
