#include <fcntl.h>
#include <gio/gio.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "capture/viewer_frames.h"
#include "web/web_catalogue.h"
#include "web/web_catalogue_jobs.h"
#include "web/web_log.h"
#include "web/web_server_core.h"

namespace {

constexpr char kBoundary[] = "cindralframe";
constexpr size_t kFileChunkBytes = 64 * 1024;
constexpr int kSnapshotWaitMs = 5000;

void FreeSharedFrame(gpointer data) { delete static_cast<std::shared_ptr<const ViewerJpeg>*>(data); }

// "attachment; filename=..." with only plain characters of the name: nothing a header could
// be broken with.
std::string Attachment(const std::string& name, const char* extension) {
    std::string safe;
    for (char c : name) {
        const bool is_plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                              c == '_' || c == '.' || c == ' ';
        safe += is_plain ? c : '_';
    }
    return "attachment; filename=\"" + safe + extension + "\"";
}

// The body goes out a chunk at a time, each made by Next once the ones in flight are written;
// what has been written is let go at once, so a client holds at most the chunk it is being sent.
template <void (WebServerCore::*Next)(WebRequestContext*)>
void SendInChunks(WebRequestContext* context) {
    soup_message_body_set_accumulate(soup_server_message_get_response_body(context->message.get()), FALSE);
    g_signal_connect(context->message.get(), "wrote-chunk", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                         auto* request = static_cast<WebRequestContext*>(data);
                         if (--request->chunks_in_flight == 0) (request->core->*Next)(request);
                     }),
                     context);
    (context->core->*Next)(context);
}

// The length the copy export gives a video of archive: from its first record to its last, and
// the last lasting as long as the frames before it on average; 0 when its times are unknown.
uint64_t VideoDurationNs(const WebArchive& archive) {
    if (!archive.first_ole || !archive.last_ole || archive.frames < 2 || *archive.last_ole <= *archive.first_ole)
        return 0;
    constexpr double kMsPerDay = 86400000.0;
    const double span_ms = (*archive.last_ole - *archive.first_ole) * kMsPerDay;
    const double frame_ms = span_ms / (archive.frames - 1);
    return static_cast<uint64_t>(std::llround(span_ms) + std::llround(frame_ms)) * 1000000u;
}

}  // namespace

void WebServerCore::ServeDownload(WebRequestContext* context) {
    // The name comes from the first record's time: reading it may index the archive, off the loop.
    auto archive = std::make_shared<std::optional<WebArchive>>();
    Pause(context);
    RunOffMainLoop(
        context->catalogue_owner,
        [archive, folder = storage_folder, request = context->request] {
            *archive = FindArchive(folder, request.day, request.name);
            if (*archive) ReadRecords(**archive);
        },
        [this, context, archive] {
            if (!*archive) {
                RespondText(context, SOUP_STATUS_NOT_FOUND, "no such archive");
            } else if (context->request.route == WebRoute::kVideo) {
                ServeVideo(context, **archive);
            } else {
                ServeArchiveFile(context, **archive);
            }
        });
}

void WebServerCore::ServeArchiveFile(WebRequestContext* context, const WebArchive& archive) {
    UniqueFd file(::open(archive.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        RespondText(context, SOUP_STATUS_NOT_FOUND, "no such archive");
        return;
    }
    context->file = std::move(file);
    context->file_remaining = info.st_size;
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message.get());
    soup_message_headers_set_content_length(headers, info.st_size);
    soup_message_headers_replace(headers, "Content-Type", "application/octet-stream");
    const std::string disposition = Attachment(DownloadName(archive), ".cna");
    soup_message_headers_replace(headers, "Content-Disposition", disposition.c_str());
    soup_server_message_set_status(context->message.get(), SOUP_STATUS_OK, nullptr);
    if (std::strcmp(soup_server_message_get_method(context->message.get()), "HEAD") == 0) {
        Resume(context);
        return;
    }
    SendInChunks<&WebServerCore::PumpFile>(context);
}

void WebServerCore::PumpFile(WebRequestContext* context) {
    SoupMessageBody* body = soup_server_message_get_response_body(context->message.get());
    if (context->file_remaining <= 0) {
        soup_message_body_complete(body);
        Resume(context);
        return;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(context->file_remaining, kFileChunkBytes));
    auto* chunk = static_cast<char*>(g_malloc(want));
    const ssize_t got = ::read(context->file.Get(), chunk, want);
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

void WebServerCore::ServeVideo(WebRequestContext* context, const WebArchive& archive) {
    std::string error;
    auto video = std::make_unique<CStreamedExport>();
    if (!video->Start(archive.path, VideoDurationNs(archive), error)) {
        qCWarning(lcWeb).noquote() << "video of" << Text(archive.path) << "not made:" << Text(error);
        RespondText(context, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the video cannot be made: " + error);
        return;
    }
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message.get());
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_replace(headers, "Content-Type", "video/x-matroska");
    const std::string disposition = Attachment(DownloadName(archive), ".mkv");
    soup_message_headers_replace(headers, "Content-Disposition", disposition.c_str());
    soup_server_message_set_status(context->message.get(), SOUP_STATUS_OK, nullptr);
    context->video = std::move(video);
    SendInChunks<&WebServerCore::PumpVideo>(context);
}

void WebServerCore::PumpVideo(WebRequestContext* context) {
    SoupMessageBody* body = soup_server_message_get_response_body(context->message.get());
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
                waiting->timer.reset();
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
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(context->message.get());
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    const std::string type = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
    soup_message_headers_replace(headers, "Content-Type", type.c_str());
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    soup_server_message_set_status(context->message.get(), SOUP_STATUS_OK, nullptr);
    if (std::strcmp(soup_server_message_get_method(context->message.get()), "HEAD") == 0) {
        soup_message_body_complete(soup_server_message_get_response_body(context->message.get()));
        Resume(context);
        return;
    }
    SendInChunks<&WebServerCore::SendNextFrame>(context);
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
    SoupMessageBody* body = soup_server_message_get_response_body(context->message.get());
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
        waiting->timer.reset();
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
            context->timer.reset();
            soup_message_headers_replace(soup_server_message_get_response_headers(context->message.get()),
                                         "Cache-Control", "no-store");
            Respond(context, SOUP_STATUS_OK, "image/jpeg", newest->bytes.data(), newest->bytes.size());
        } else {
            SendNextFrame(context);
        }
    }
}
