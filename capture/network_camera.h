#pragma once

#include <string>

#include "glib/gst_handles.h"

// How an RTSP camera's packets travel: UDP first then TCP, only TCP (through firewalls, and
// where UDP loses packets), or only UDP.
enum class NetworkTransport { kAutomatic, kTcp, kUdp };

// A camera reached by its address. The user and password travel beside the address, never in
// it, so that the address can be shown and logged as it is.
struct NetworkCamera {
    std::string address;  // rtsp://, rtsps://, http:// or https://, without user or password
    std::string host;
    int port = 0;  // the address's port, else the scheme's own
    bool is_rtsp = false;
    std::string user;
    std::string password;
    NetworkTransport transport = NetworkTransport::kAutomatic;
};

// Reads "scheme://[user[:password]@]host[:port]/path": the user and password, percent-decoded,
// go into *camera apart from the address. False with *error (which never holds them) for an
// address of another scheme, without a host, or with a bad port or percent sign.
bool ParseNetworkAddress(const std::string& url, NetworkCamera* camera, std::string* error);

// The address with any user and password taken out; whatever text it is, address or not.
std::string AddressWithoutCredentials(const std::string& url);

// "auto", "tcp" or "udp"; false for anything else.
bool ParseNetworkTransport(const std::string& text, NetworkTransport* transport);

// The first line of the file, "user:password" (the password may hold ':'). False with *error.
bool ReadCredentialsFile(const std::string& path, std::string* user, std::string* password, std::string* error);

// The source bin of the camera, with one source pad "src" that gives raw video or, for a camera
// that sends JPEG, its JPEG as sent. Empty with *error when an element is missing.
GstObjectPtr<GstElement> MakeNetworkSourceBin(const NetworkCamera& camera, std::string* error);

// What an error of the camera's graph means in the user's words ("the camera refused the user
// name or password"); empty when it is none of the faults a network camera is known by.
std::string NetworkErrorInWords(const NetworkCamera& camera, GQuark domain, int code, const std::string& message,
                                const std::string& debug);
