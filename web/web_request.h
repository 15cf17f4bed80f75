#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What a request asks for. Everything is read-only: only GET and HEAD are answered.
enum class WebRoute {
    kNotFound,
    kMethodNotAllowed,
    kPage,          // /
    kScript,        // /app.js
    kStyle,         // /style.css
    kLive,          // /live.mjpeg
    kSnapshot,      // /snapshot.jpg
    kStatus,        // /api/status
    kDays,          // /api/days
    kArchives,      // /api/archives?day=YYYYMMDD
    kFrame,         // /api/archives/DAY/NAME/frames/N.jpg
    kVideo,         // /api/archives/DAY/NAME.mkv
    kArchive,       // /api/archives/DAY/NAME.cna
    kEvents,        // /api/events?day=YYYYMMDD
    kEventPicture,  // /api/events/ID/picture.jpg
};

struct WebRequest {
    WebRoute route = WebRoute::kNotFound;
    std::string day;   // eight digits
    std::string name;  // an archive's name without its extension, decoded; still to be looked up
    int32_t frame = -1;
    int64_t event_id = -1;  // kEventPicture: the events database's id
};

// Reads a request's method, path (percent-decoded once already, as libsoup hands it over: a
// '%' left in it is part of a name) and query (as sent, encoded) without touching anything: the
// names it gives are only candidates for a catalogue lookup. A segment "." or "..", a name with
// a backslash or NUL or a leading dot, a day that is not eight digits or a frame number that is
// not plain decimal gives kNotFound.
WebRequest RouteRequest(std::string_view method, std::string_view path, std::string_view query);

// Percent-decoding of one path segment or query value; false on a malformed escape.
bool PercentDecode(std::string_view text, std::string& decoded);
