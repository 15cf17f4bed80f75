#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "web/web_auth.h"
#include "web/web_request.h"
#include "web/web_tls.h"

class CViewerFrames;
struct WebServerCore;

// The live session's state as the page shows it.
struct WebLiveStatus {
    std::string phase;  // "live", "recording", "starting", "camera-lost", "no-camera", "stopped"
    std::string text;   // the status pane's words: "REC 00:12:34", "Watching", "No signal", ...
    std::string camera;
    std::string open_archive;  // the archive being written, a path
};

struct WebServerOptions {
    std::vector<std::string> addresses{"127.0.0.1", "::1"};  // IP addresses; "::" or "0.0.0.0" for all networks
    uint16_t port = 8642;                                    // 0: a free port
    std::string user;
    std::string password_hash;      // HashPassword's record
    TlsFiles tls;                   // both empty: plain HTTP
    bool is_insecure_http = false;  // plain HTTP beyond loopback, asked for in so many words
    int max_clients = 32;
    int max_clients_per_address = 8;
    int idle_timeout_s = 60;
    // From a connection's start, or the end of its previous request, to the end of a request's
    // headers (the TLS handshake included): a client sending them slowly is cut off then.
    int header_deadline_s = 12;
};

bool IsLoopbackAddress(const std::string& address);
// Why the server must not run with options, in one line; empty when it may. Beyond loopback:
// a user and password, and HTTPS unless is_insecure_http.
std::string ListenRefusal(const WebServerOptions& options);
// "ADDRESS:PORT" or "[IPV6]:PORT" into options' addresses and port; false with error set.
bool ParseListenAddress(const std::string& text, WebServerOptions& options, std::string& error);

// The web server for remote viewers, on libsoup and the GLib main context of the thread that
// starts it (the user-interface thread: Qt's event loop is that context). Read-only; names in
// URLs are looked up in the storage folder's catalogue. At most max_clients connections (more
// get 503) and max_clients_per_address from one address (more are closed), idle or stalled ones
// closed after idle_timeout_s, requests with a body refused from their headers, live viewers
// get the newest frame when they are ready for one.
class CWebServer {
public:
    // frames may be null (recordings only): the live picture then answers 503.
    CWebServer(std::string storage_folder, CViewerFrames* frames, std::function<WebLiveStatus()> status);
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Refuses what ListenRefusal refuses; false with error set (the library's message).
    bool Start(const WebServerOptions& options, std::string& error);
    void Stop();
    bool IsRunning() const;
    uint16_t Port() const;
    // The address to open, e.g. "https://127.0.0.1:8642/".
    std::string Url() const;
    void SetStorageFolder(std::string storage_folder);
    int ClientCount() const;

private:
    std::unique_ptr<WebServerCore> core_;
};
