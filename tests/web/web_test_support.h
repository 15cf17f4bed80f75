#pragma once

#include <gio/gio.h>
#include <glib.h>
#include <libsoup/soup.h>
#include <sys/socket.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_handover.h"
#include "support/cli_runner.h"
#include "web/web_server.h"

namespace web_test {

// A server for this computer only, on a port the system picks.
inline WebServerOptions LocalOptions() {
    WebServerOptions options;
    options.addresses = {"127.0.0.1"};
    options.port = 0;
    return options;
}

// A server on a thread of its own with its own main context, as the program's event loop runs
// it; the test thread is the client.
class ServerThread {
public:
    ServerThread(std::string storage_folder, CViewerFrames* frames, WebServerOptions options) {
        std::promise<std::string> started;
        auto result = started.get_future();
        thread_ = std::thread([this, storage_folder, frames, options, &started] {
            context_ = g_main_context_new();
            g_main_context_push_thread_default(context_);
            loop_ = g_main_loop_new(context_, FALSE);
            server_ = std::make_unique<CWebServer>(storage_folder, frames, [] {
                return WebLiveStatus{"recording", "REC 00:00:01", "Test Camera", "/x/20261207/123.CNA"};
            });
            std::string error;
            server_->Start(options, error);
            started.set_value(error);
            g_main_loop_run(loop_);
            server_.reset();
            g_main_context_pop_thread_default(context_);
            g_main_loop_unref(loop_);
            g_main_context_unref(context_);
        });
        error_ = result.get();
    }
    ~ServerThread() {
        Run([this] { g_main_loop_quit(loop_); });
        thread_.join();
    }
    const std::string& Error() const { return error_; }
    uint16_t Port() const { return server_->Port(); }
    std::string Url(const std::string& path) const {
        return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(Port()) + path;
    }
    void SetHttps(bool https) { https_ = https; }
    // Runs work on the server's thread and waits for it.
    void Run(std::function<void()> work) {
        std::promise<void> done;
        auto finished = done.get_future();
        struct Call {
            std::function<void()> work;
            std::promise<void>* done;
        };
        auto* call = new Call{std::move(work), &done};
        MarkHandedOver(call);
        g_main_context_invoke_full(
            context_, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                MarkReceived(data);
                auto* c = static_cast<Call*>(data);
                c->work();
                c->done->set_value();
                return G_SOURCE_REMOVE;
            },
            call,
            [](gpointer data) {
                MarkReceived(data);
                delete static_cast<Call*>(data);
            });
        finished.wait();
    }
    int ClientCount() {
        int count = 0;
        Run([&] { count = server_->ClientCount(); });
        return count;
    }

private:
    std::thread thread_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::unique_ptr<CWebServer> server_;
    std::string error_;
    bool https_ = false;
};

struct Response {
    guint status = 0;
    std::string body;
    std::string content_type;
    std::string record_time;
    std::string www_authenticate;
    std::string disposition;
};

// One request through libsoup's client, synchronously; certificates are accepted when their
// SHA-256 fingerprint is the one given (none: any).
inline Response Fetch(const std::string& url, const std::string& method = "GET", const std::string& authorization = {},
                      const std::string& fingerprint = {}) {
    Response response;
    SoupSession* session = soup_session_new_with_options("timeout", 30, nullptr);
    SoupMessage* message = soup_message_new(method.c_str(), url.c_str());
    if (message == nullptr) {
        g_object_unref(session);
        return response;
    }
    if (!authorization.empty()) {
        soup_message_headers_replace(soup_message_get_request_headers(message), "Authorization", authorization.c_str());
    }
    // One per thread: tests fetch from several threads at once, and the check runs on the caller's.
    static thread_local std::string expected;
    expected = fingerprint;
    g_signal_connect(
        message, "accept-certificate",
        G_CALLBACK(+[](SoupMessage*, GTlsCertificate* certificate, GTlsCertificateFlags, gpointer) -> gboolean {
            GByteArray* der = nullptr;
            g_object_get(certificate, "certificate", &der, nullptr);
            if (der == nullptr) return FALSE;
            gchar* digest = g_compute_checksum_for_data(G_CHECKSUM_SHA256, der->data, der->len);
            g_byte_array_unref(der);
            std::string hex(digest);
            g_free(digest);
            std::string text;
            for (size_t i = 0; i < hex.size(); i += 2) {
                if (i > 0) text += ':';
                text += static_cast<char>(std::toupper(hex[i]));
                text += static_cast<char>(std::toupper(hex[i + 1]));
            }
            return expected.empty() || text == expected;
        }),
        nullptr);
    GError* error = nullptr;
    GBytes* bytes = soup_session_send_and_read(session, message, nullptr, &error);
    if (bytes) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        response.body.assign(data, size);
        g_bytes_unref(bytes);
    }
    if (error) g_error_free(error);
    response.status = soup_message_get_status(message);
    SoupMessageHeaders* headers = soup_message_get_response_headers(message);
    const char* type = soup_message_headers_get_one(headers, "Content-Type");
    const char* time = soup_message_headers_get_one(headers, "X-Record-Time");
    const char* authenticate = soup_message_headers_get_one(headers, "WWW-Authenticate");
    response.content_type = type ? type : "";
    response.record_time = time ? time : "";
    response.www_authenticate = authenticate ? authenticate : "";
    const char* disposition = soup_message_headers_get_one(headers, "Content-Disposition");
    response.disposition = disposition ? disposition : "";
    g_object_unref(message);
    g_object_unref(session);
    return response;
}

// A plain TCP connection for requests written by hand.
class RawClient {
public:
    explicit RawClient(uint16_t port, int receive_buffer = 0, int send_buffer = 0) {
        socket_ = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr);
        if (receive_buffer > 0) g_socket_set_option(socket_, SOL_SOCKET, SO_RCVBUF, receive_buffer, nullptr);
        if (send_buffer > 0) g_socket_set_option(socket_, SOL_SOCKET, SO_SNDBUF, send_buffer, nullptr);
        GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
        GSocketAddress* address = g_inet_socket_address_new(loopback, port);
        is_connected_ = g_socket_connect(socket_, address, nullptr, nullptr);
        g_object_unref(address);
        g_object_unref(loopback);
        g_socket_set_timeout(socket_, 10);
    }
    ~RawClient() { g_object_unref(socket_); }
    bool IsConnected() const { return is_connected_; }
    // True when all of text was sent (a small send buffer takes it in parts).
    bool Send(const std::string& text) {
        for (size_t sent = 0; sent < text.size();) {
            const gssize n = g_socket_send(socket_, text.data() + sent, text.size() - sent, nullptr, nullptr);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads what comes until at least min_bytes arrived or the peer closes; "" on close.
    std::string Receive(size_t min_bytes = 1) {
        std::string got;
        char buffer[65536];
        while (got.size() < min_bytes) {
            const gssize n = g_socket_receive(socket_, buffer, sizeof buffer, nullptr, nullptr);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // True when the server closed the connection within timeout_s.
    bool WaitForClose(int timeout_s) {
        g_socket_set_timeout(socket_, static_cast<guint>(timeout_s));
        char buffer[65536];
        while (true) {
            GError* error = nullptr;
            const gssize n = g_socket_receive(socket_, buffer, sizeof buffer, nullptr, &error);
            if (n == 0) return true;
            if (n < 0) {
                const bool is_reset = !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
                g_error_free(error);
                return is_reset;
            }
        }
    }

private:
    GSocket* socket_ = nullptr;
    bool is_connected_ = false;
};

}  // namespace web_test
