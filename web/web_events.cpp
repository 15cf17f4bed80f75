// The events database's answers: a day's events as JSON, and an event's best frame with its box.
// GLib's headers before Qt's, whose keywords they use as names.
#include <gio/gio.h>
#include <libsoup/soup.h>

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <optional>

#include "jpeg/jpeg_codec.h"
#include "picture/packed_picture.h"
#include "platform/ole_date.h"
#include "storage/events_database.h"
#include "web/web_catalogue.h"
#include "web/web_catalogue_jobs.h"
#include "web/web_log.h"
#include "web/web_server_core.h"

namespace {

constexpr int kBoxLinePx = 3;

// The archive's day folder and name of "YYYYMMDD/NAME.CNA", as the catalogue takes them.
bool SplitArchive(const std::string& archive, std::string& day, std::string& name) {
    const size_t slash = archive.find('/');
    const size_t dot = archive.find_last_of('.');
    if (slash != 8 || dot == std::string::npos || dot < slash) return false;
    day = archive.substr(0, slash);
    name = archive.substr(slash + 1, dot - slash - 1);
    return true;
}

// A box in red, kBoxLinePx wide, clipped to the picture.
void DrawBox(BMP_File& picture, const std::array<int32_t, 4>& box) {
    const int32_t width = picture.GetWidth();
    const int32_t height = picture.GetHeight();
    const int32_t left = std::clamp(box[0], 0, width - 1);
    const int32_t top = std::clamp(box[1], 0, height - 1);
    const int32_t right = std::clamp(box[0] + box[2] - 1, left, width - 1);
    const int32_t bottom = std::clamp(box[1] + box[3] - 1, top, height - 1);
    for (int32_t y = top; y <= bottom; ++y) {
        for (int32_t x = left; x <= right; ++x) {
            const bool is_edge =
                x - left < kBoxLinePx || right - x < kBoxLinePx || y - top < kBoxLinePx || bottom - y < kBoxLinePx;
            if (!is_edge) continue;
            uint8_t* pixel = picture.GetBits() + (static_cast<size_t>(y) * width + x) * 3;
            pixel[0] = 0;  // blue, green, red
            pixel[1] = 0;
            pixel[2] = 255;
        }
    }
}

struct EventPicture {
    std::vector<uint8_t> jpeg;
    std::string problem;  // why there is none
};

EventPicture MakeEventPicture(const std::string& storage_folder, int64_t id) {
    EventPicture picture;
    CEventsDatabase database;
    std::string error;
    if (!database.OpenForReading(storage_folder, error)) {
        picture.problem = "no events are listed here";
        return picture;
    }
    const std::optional<StoredEvent> event = database.Find(id, error);
    std::string day;
    std::string name;
    if (!event || !SplitArchive(event->archive, day, name)) {
        picture.problem = "no such event";
        return picture;
    }
    // The database names the archive; the catalogue decides whether it is one.
    const std::optional<WebArchive> archive = FindArchive(storage_folder, day, name);
    const int32_t frame = event->best_frame >= 0 ? event->best_frame : event->first_frame;
    std::optional<WebFrame> stored = archive ? ReadArchiveFrame(archive->path, frame) : std::nullopt;
    if (!stored) {
        picture.problem = "the event's archive or frame is gone";
        return picture;
    }
    if (event->box[2] <= 0 || event->box[3] <= 0) {
        picture.jpeg = std::move(stored->jpeg);
        return picture;
    }
    JpegCodec codec;
    BMP_File decoded;
    if (!codec.DecodeJpeg(stored->jpeg.data(), static_cast<uint32_t>(stored->jpeg.size()), decoded)) {
        picture.jpeg = std::move(stored->jpeg);  // shown without its box rather than not at all
        return picture;
    }
    DrawBox(decoded, event->box);
    std::vector<uint8_t> encoded(static_cast<size_t>(decoded.GetBitsSize()) + 65536);
    const uint32_t length = codec.EncodeJpeg(decoded, encoded.data(), static_cast<uint32_t>(encoded.size()));
    if (length == 0) {
        picture.jpeg = std::move(stored->jpeg);
        return picture;
    }
    encoded.resize(length);
    picture.jpeg = std::move(encoded);
    return picture;
}

}  // namespace

void WebServerCore::ServeEvents(WebRequestContext* context) {
    auto listed = std::make_shared<std::optional<std::vector<StoredEvent>>>();
    auto problem = std::make_shared<std::string>();
    Pause(context);
    RunOffMainLoop(
        context->catalogue_owner,
        [listed, problem, folder = storage_folder, day_text = context->request.day] {
            const CalendarTime day{std::stoi(day_text.substr(0, 4)),
                                   std::stoi(day_text.substr(4, 2)),
                                   std::stoi(day_text.substr(6, 2)),
                                   0,
                                   0,
                                   0};
            const double from_ole = CalendarToOleDate(day);
            CEventsDatabase database;
            std::string error;
            // No database yet: no events listed, which is not an error.
            if (database.OpenForReading(folder, error)) {
                *listed = database.Between(from_ole, from_ole + 1.0, error);
                if (!*listed) *problem = error;
            } else {
                *listed = std::vector<StoredEvent>();
            }
        },
        [this, context, listed, problem] {
            if (!*listed) {
                qCWarning(lcWeb).noquote() << "the events cannot be listed:" << Text(*problem);
                RespondText(context, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the events cannot be listed");
                return;
            }
            QJsonArray events;
            for (const StoredEvent& event : **listed) {
                std::string day;
                std::string name;
                if (!SplitArchive(event.archive, day, name)) continue;
                QJsonArray box;
                if (event.box[2] > 0) {
                    for (const int32_t value : event.box) box.append(value);
                }
                events.append(QJsonObject{{"id", static_cast<qint64>(event.id)},
                                          {"start", Text(IsoLocalTime(event.start_ole))},
                                          {"end", Text(IsoLocalTime(event.end_ole))},
                                          {"day", Text(day)},
                                          {"archive", Text(name)},
                                          {"label", Text(event.label)},
                                          {"best_frame", event.best_frame},
                                          {"first_frame", event.first_frame},
                                          {"peak_blocks", static_cast<qint64>(event.peak_blocks)},
                                          {"box", box.isEmpty() ? QJsonValue() : QJsonValue(box)}});
            }
            RespondJson(context, QJsonObject{{"day", Text(context->request.day)}, {"events", events}});
        });
}

void WebServerCore::ServeEventPicture(WebRequestContext* context) {
    auto picture = std::make_shared<EventPicture>();
    Pause(context);
    RunOffMainLoop(
        context->catalogue_owner,
        [picture, folder = storage_folder, id = context->request.event_id] { *picture = MakeEventPicture(folder, id); },
        [this, context, picture] {
            if (picture->jpeg.empty()) {
                RespondText(context, SOUP_STATUS_NOT_FOUND, picture->problem);
                return;
            }
            Respond(context, SOUP_STATUS_OK, "image/jpeg", picture->jpeg.data(), picture->jpeg.size());
        });
}
