#include "capture/network_camera.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "capture/capture_log.h"
#include "capture/source_bin.h"

namespace {

// rtspsrc's own buffer is 2 s, which keeps the picture 2 s behind the camera.
constexpr unsigned kRtspLatencyMs = 200;
// A camera that stops answering is noticed in this time, not rtspsrc's 20 s.
constexpr guint64 kRtspTcpTimeoutUs = 5000000;
// With the automatic transport, UDP that brings nothing for this long gives way to TCP.
constexpr guint64 kRtspUdpTimeoutUs = 3000000;
constexpr unsigned kHttpTimeoutS = 5;

struct AddressParts {
    std::string scheme;    // lower case
    size_t authority = 0;  // where the authority begins
    size_t host = 0;       // where the host begins: after any user information
    size_t end = 0;        // where the authority ends
};

AddressParts SplitAddress(const std::string& url) {
    AddressParts parts;
    const size_t separator = url.find("://");
    if (separator != std::string::npos) {
        parts.scheme = url.substr(0, separator);
        std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        parts.authority = separator + 3;
    }
    parts.end = url.find_first_of("/?#", parts.authority);
    if (parts.end == std::string::npos) parts.end = url.size();
    // The last '@': a password written without its percent signs may hold '@' itself.
    const size_t at = url.rfind('@', parts.end == 0 ? 0 : parts.end - 1);
    parts.host = at != std::string::npos && at >= parts.authority && at < parts.end ? at + 1 : parts.authority;
    return parts;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool PercentDecode(const std::string& text, std::string* decoded) {
    decoded->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded->push_back(text[i]);
            continue;
        }
        const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
        decoded->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

int DefaultPort(const std::string& scheme) {
    if (scheme == "rtsp") return 554;
    if (scheme == "rtsps") return 322;
    if (scheme == "http") return 80;
    return 443;
}

bool IsVideoRtpPad(GstPad* pad) {
    GstCapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    if (!caps || gst_caps_get_size(caps.get()) == 0) return false;
    const gchar* media = gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "media");
    return media != nullptr && std::string(media) == "video";
}

// The camera's first video stream goes to the decoder; its sound and any other stream are left alone.
void OnRtspPadAdded(GstElement*, GstPad* pad, gpointer data) {
    auto* decoder = static_cast<GstElement*>(data);
    GstObjectPtr<GstPad> sink(gst_element_get_static_pad(decoder, "sink"));
    if (!sink || gst_pad_is_linked(sink.get()) || !IsVideoRtpPad(pad)) return;
    const GstPadLinkReturn result = gst_pad_link(pad, sink.get());
    if (result != GST_PAD_LINK_OK)
        qCWarning(lcCapture) << "the camera's video does not reach the decoder:" << gst_pad_link_get_name(result);
}

GstElement* AddElement(GstBin* bin, const char* factory, const char* name, std::string* error) {
    GstElement* element = gst_element_factory_make(factory, name);
    if (!element) {
        *error = std::string("GStreamer's ") + factory + " element is missing";
        return nullptr;
    }
    if (!gst_bin_add(bin, element)) {
        gst_object_unref(gst_object_ref_sink(element));
        *error = std::string("the ") + factory + " element cannot be added";
        return nullptr;
    }
    return element;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

bool ParseNetworkAddress(const std::string& url, NetworkCamera* camera, std::string* error) {
    const AddressParts parts = SplitAddress(url);
    const std::string shown = AddressWithoutCredentials(url);
    if (parts.scheme != "rtsp" && parts.scheme != "rtsps" && parts.scheme != "http" && parts.scheme != "https") {
        *error = "the address " + shown + " begins with none of rtsp://, rtsps://, http:// and https://";
        return false;
    }
    camera->is_rtsp = parts.scheme == "rtsp" || parts.scheme == "rtsps";
    camera->user.clear();
    camera->password.clear();
    if (parts.host > parts.authority) {
        const std::string user_info = url.substr(parts.authority, parts.host - 1 - parts.authority);
        const size_t colon = user_info.find(':');
        if (!PercentDecode(user_info.substr(0, colon), &camera->user) ||
            (colon != std::string::npos && !PercentDecode(user_info.substr(colon + 1), &camera->password))) {
            *error =
                "the user or password in the address " + shown + " holds a '%' that is not followed by two hex digits";
            return false;
        }
    }
    const std::string host_port = url.substr(parts.host, parts.end - parts.host);
    std::string port_text;
    if (!host_port.empty() && host_port[0] == '[') {
        const size_t close = host_port.find(']');
        if (close == std::string::npos) {
            *error = "the address " + shown + " has an unclosed '[' in its host";
            return false;
        }
        camera->host = host_port.substr(1, close - 1);
        if (close + 1 < host_port.size()) {
            if (host_port[close + 1] != ':') {
                *error = "the address " + shown + " has text after its host";
                return false;
            }
            port_text = host_port.substr(close + 2);
        }
    } else {
        const size_t colon = host_port.rfind(':');
        camera->host = host_port.substr(0, colon);
        if (colon != std::string::npos) port_text = host_port.substr(colon + 1);
    }
    if (camera->host.empty()) {
        *error = "the address " + shown + " names no host";
        return false;
    }
    camera->port = DefaultPort(parts.scheme);
    if (!port_text.empty()) {
        const bool is_digits = port_text.size() <= 5 && std::all_of(port_text.begin(), port_text.end(),
                                                                    [](unsigned char c) { return std::isdigit(c); });
        const int port = is_digits ? std::stoi(port_text) : 0;
        if (port < 1 || port > 65535) {
            *error = "the address " + shown + " has no port from 1 to 65535 after its host";
            return false;
        }
        camera->port = port;
    }
    camera->address = parts.scheme + "://" + host_port + url.substr(parts.end);
    return true;
}

std::string AddressWithoutCredentials(const std::string& url) {
    const AddressParts parts = SplitAddress(url);
    return url.substr(0, parts.authority) + url.substr(parts.host);
}

bool ParseNetworkTransport(const std::string& text, NetworkTransport* transport) {
    if (text == "auto") {
        *transport = NetworkTransport::kAutomatic;
    } else if (text == "tcp") {
        *transport = NetworkTransport::kTcp;
    } else if (text == "udp") {
        *transport = NetworkTransport::kUdp;
    } else {
        return false;
    }
    return true;
}

bool ReadCredentialsFile(const std::string& path, std::string* user, std::string* password, std::string* error) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        *error = "cannot read the password file " + path;
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == line.size()) {
        *error = "the password file's first line must be user:password";
        return false;
    }
    *user = line.substr(0, colon);
    *password = line.substr(colon + 1);
    return true;
}

GstObjectPtr<GstElement> MakeNetworkSourceBin(const NetworkCamera& camera, std::string* error) {
    GstObjectPtr<GstElement> bin = AdoptFloating(gst_bin_new("NetworkCamera"));
    if (!bin) {
        *error = "GStreamer gives no bin";
        return {};
    }
    GstBin* as_bin = GST_BIN(bin.get());
    GstElement* later = nullptr;
    if (camera.is_rtsp) {
        GstElement* source = AddElement(as_bin, "rtspsrc", "NetworkSource", error);
        GstElement* decoder = source ? AddElement(as_bin, "decodebin", "NetworkDecoder", error) : nullptr;
        if (!decoder) return {};
        g_object_set(source, "location", camera.address.c_str(), "latency", kRtspLatencyMs, "drop-on-latency", TRUE,
                     "tcp-timeout", kRtspTcpTimeoutUs, "timeout", kRtspUdpTimeoutUs, nullptr);
        if (camera.transport != NetworkTransport::kAutomatic) {
            gst_util_set_object_arg(G_OBJECT(source), "protocols",
                                    camera.transport == NetworkTransport::kTcp ? "tcp" : "udp+udp-mcast");
        }
        if (!camera.user.empty()) {
            g_object_set(source, "user-id", camera.user.c_str(), "user-pw", camera.password.c_str(), nullptr);
        }
        // A camera's JPEG comes out as sent: the recorder stores it without decoding it.
        GstCapsPtr kept(gst_caps_from_string("video/x-raw(ANY); image/jpeg"));
        g_object_set(decoder, "caps", kept.get(), nullptr);
        g_signal_connect(source, "pad-added", G_CALLBACK(&OnRtspPadAdded), decoder);
        later = decoder;
    } else {
        GstElement* source = AddElement(as_bin, "souphttpsrc", "NetworkSource", error);
        GstElement* demuxer = source ? AddElement(as_bin, "multipartdemux", "NetworkDemuxer", error) : nullptr;
        if (!demuxer) return {};
        g_object_set(source, "location", camera.address.c_str(), "is-live", TRUE, "timeout", kHttpTimeoutS, nullptr);
        if (!camera.user.empty()) {
            g_object_set(source, "user-id", camera.user.c_str(), "user-pw", camera.password.c_str(), nullptr);
        }
        if (!gst_element_link(source, demuxer)) {
            *error = "the HTTP source does not link to the multipart demuxer";
            return {};
        }
        later = demuxer;
    }
    if (!LinkLaterPads(bin.get(), later, {}, error)) return {};
    return bin;
}

std::string NetworkErrorInWords(const NetworkCamera& camera, GQuark domain, int code, const std::string& message,
                                const std::string& debug) {
    const std::string text = message + "\n" + debug;
    if (domain == GST_RESOURCE_ERROR && code == GST_RESOURCE_ERROR_NOT_AUTHORIZED)
        return "the camera refused the user name or password";
    if (domain == GST_RESOURCE_ERROR && code == GST_RESOURCE_ERROR_NOT_FOUND) return "no such stream on the camera";
    if ((domain == GST_CORE_ERROR && code == GST_CORE_ERROR_MISSING_PLUGIN) ||
        (domain == GST_STREAM_ERROR && code == GST_STREAM_ERROR_CODEC_NOT_FOUND)) {
        std::string codec = "a format";
        if (Contains(text, "h265") || Contains(text, "H.265") || Contains(text, "H265")) {
            codec = "H.265";
        } else if (Contains(text, "h264") || Contains(text, "H.264") || Contains(text, "H264")) {
            codec = "H.264";
        }
        return "the camera sends " + codec + ", which needs the package gstreamer1.0-libav";
    }
    // The HTTP source says that it could not connect only in its debug log; its stream stops
    // with a bare flow error.
    const bool is_http_flow_error = !camera.is_rtsp && domain == GST_STREAM_ERROR && code == GST_STREAM_ERROR_FAILED &&
                                    Contains(debug, "GstSoupHTTPSrc") && Contains(debug, "reason error");
    if (is_http_flow_error || (domain == GST_RESOURCE_ERROR &&
                               (code == GST_RESOURCE_ERROR_OPEN_READ || code == GST_RESOURCE_ERROR_OPEN_READ_WRITE ||
                                code == GST_RESOURCE_ERROR_READ || code == GST_RESOURCE_ERROR_WRITE))) {
        // Refused, unreachable or silent: whichever it is, nothing at that address took the call.
        if (is_http_flow_error || Contains(text, "onnect") || Contains(text, "refused") || Contains(text, "resolve") ||
            Contains(text, "timed out") || Contains(text, "Timeout") || Contains(text, "unreachable")) {
            const bool is_v6 = camera.host.find(':') != std::string::npos;
            return "nothing answers at " + (is_v6 ? "[" + camera.host + "]" : camera.host) + ":" +
                   std::to_string(camera.port);
        }
    }
    return {};
}
