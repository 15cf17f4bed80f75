#include "web/web_request.h"

#include <charconv>
#include <vector>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsDay(std::string_view text) {
    if (text.size() != 8) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// A name that may be looked up: no separators, no parent or current folder, nothing hidden.
bool IsPlainName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.front() == '.') return false;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The segments of path below its leading slash, as they are: decoded once already.
bool SplitPath(std::string_view path, std::vector<std::string>& segments) {
    if (path.empty() || path.front() != '/') return false;
    path.remove_prefix(1);
    while (true) {
        const size_t slash = path.find('/');
        segments.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

std::string QueryValue(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) == key && equals != std::string_view::npos) {
            std::string value;
            if (PercentDecode(pair.substr(equals + 1), value)) return value;
            return {};
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

}  // namespace

bool PercentDecode(std::string_view text, std::string& decoded) {
    decoded.clear();
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

WebRequest RouteRequest(std::string_view method, std::string_view path, std::string_view query) {
    WebRequest request;
    std::vector<std::string> segments;
    if (!SplitPath(path, segments)) return request;
    for (const std::string& segment : segments) {
        // Empty segments only as the page's own "/".
        if (segment.find('/') != std::string::npos || segment.find('\0') != std::string::npos || segment == "." ||
            segment == "..") {
            return request;
        }
    }
    const size_t count = segments.size();
    const auto is = [&](std::initializer_list<std::string_view> expected) {
        if (expected.size() != count) return false;
        size_t i = 0;
        for (std::string_view part : expected) {
            if (segments[i++] != part) return false;
        }
        return true;
    };
    if (is({""}))
        request.route = WebRoute::kPage;
    else if (is({"app.js"}))
        request.route = WebRoute::kScript;
    else if (is({"style.css"}))
        request.route = WebRoute::kStyle;
    else if (is({"live.mjpeg"}))
        request.route = WebRoute::kLive;
    else if (is({"snapshot.jpg"}))
        request.route = WebRoute::kSnapshot;
    else if (is({"api", "status"}))
        request.route = WebRoute::kStatus;
    else if (is({"api", "days"}))
        request.route = WebRoute::kDays;
    else if (is({"api", "archives"})) {
        request.day = QueryValue(query, "day");
        if (IsDay(request.day)) request.route = WebRoute::kArchives;
    } else if (is({"api", "events"})) {
        request.day = QueryValue(query, "day");
        if (IsDay(request.day)) request.route = WebRoute::kEvents;
    } else if (count == 4 && segments[0] == "api" && segments[1] == "events" && segments[3] == "picture.jpg") {
        const std::string_view number = segments[2];
        int64_t id = -1;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), id);
        if (!number.empty() && number.size() <= 18 && error == std::errc() && end == number.data() + number.size() &&
            id >= 0) {
            request.route = WebRoute::kEventPicture;
            request.event_id = id;
        }
    } else if (count >= 4 && segments[0] == "api" && segments[1] == "archives" && IsDay(segments[2])) {
        request.day = segments[2];
        if (count == 4) {
            std::string_view file = segments[3];
            if (EndsWith(file, ".mkv"))
                request.route = WebRoute::kVideo;
            else if (EndsWith(file, ".cna"))
                request.route = WebRoute::kArchive;
            if (request.route != WebRoute::kNotFound) request.name = std::string(file.substr(0, file.size() - 4));
        } else if (count == 6 && segments[4] == "frames" && EndsWith(segments[5], ".jpg")) {
            const std::string_view number = std::string_view(segments[5]).substr(0, segments[5].size() - 4);
            int32_t frame = -1;
            const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), frame);
            if (!number.empty() && number.size() <= 10 && error == std::errc() &&
                end == number.data() + number.size() && frame >= 0) {
                request.route = WebRoute::kFrame;
                request.name = segments[3];
                request.frame = frame;
            }
        }
        if (request.route != WebRoute::kNotFound && !IsPlainName(request.name)) request.route = WebRoute::kNotFound;
    }
    if (request.route == WebRoute::kNotFound) {
        request.day.clear();
        request.name.clear();
        request.frame = -1;
        request.event_id = -1;
        return request;
    }
    if (method != "GET" && method != "HEAD") request.route = WebRoute::kMethodNotAllowed;
    return request;
}
