#include "archive_core/video_export.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include "archive/archive_reader.h"
#include "archive_core/avi_export.h"
#include "jpeg/jpeg_codec.h"
#include "platform/ole_date.h"
#include "platform/safe_output.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;
// The frame length where the records give none: the playback panel's 10 frames a second.
constexpr double kFallbackFrameSeconds = 0.1;
constexpr int64_t kNanosecondsPerMs = 1000000;

struct GstBufferUnref {
    void operator()(GstBuffer* buffer) const {
        if (buffer) gst_buffer_unref(buffer);
    }
};
using GstBufferPtr = std::unique_ptr<GstBuffer, GstBufferUnref>;

// A record's time in seconds since 1899-12-30, local; nothing for a record that has none.
std::optional<double> RecordSeconds(const std::optional<ArchiveRecord>& record) {
    if (!record || record->condition == RecordCondition::kLost) return std::nullopt;
    // Outside the years 100 to 9999, or never set: damage, not a date.
    const double days = record->time_stamp;
    if (days == 0.0 || !OleDateToCalendar(days)) return std::nullopt;
    return days * kSecondsPerDay;
}

// What the export needs to know of one archive before writing.
struct ArchiveSpan {
    std::string path;
    size_t given_at = 0;
    int32_t frame_count = 0;
    std::optional<double> first_s;
    std::optional<double> last_s;
};

// Opens every archive once; the spans come back in time order. False with error set when an
// archive cannot be read.
bool SurveyArchives(const std::vector<std::string>& paths, std::vector<ArchiveSpan>& spans, std::string& error) {
    CArchiveReader reader;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!reader.OpenFile(paths[i])) {
            error = reader.GetLastError();
            return false;
        }
        ArchiveSpan span{paths[i], i, reader.GetFrameCount(), std::nullopt, std::nullopt};
        int32_t first = 0;
        for (; first < span.frame_count && !span.first_s; ++first)
            span.first_s = RecordSeconds(reader.GetRecord(first));
        for (int32_t last = span.frame_count - 1; last >= first - 1 && last >= 0 && !span.last_s; --last) {
            span.last_s = RecordSeconds(reader.GetRecord(last));
        }
        spans.push_back(std::move(span));
    }
    // Archives without any time go last, in the order given.
    std::stable_sort(spans.begin(), spans.end(), [](const ArchiveSpan& a, const ArchiveSpan& b) {
        if (a.first_s.has_value() != b.first_s.has_value()) return a.first_s.has_value();
        return a.first_s.has_value() && *a.first_s < *b.first_s;
    });
    return true;
}

// The size of the first frame that decodes, in the order of the export.
bool FindFirstPicture(const std::vector<ArchiveSpan>& spans, int& width, int& height, std::string& error) {
    CArchiveReader reader;
    JpegCodec codec;
    std::vector<uint8_t> jpeg;
    for (const ArchiveSpan& span : spans) {
        if (!reader.OpenFile(span.path)) {
            error = reader.GetLastError();
            return false;
        }
        for (int32_t frame = 0; frame < span.frame_count; ++frame) {
            if (reader.ReadFrameJpeg(frame, jpeg) &&
                codec.ReadDecodableHeader(jpeg.data(), static_cast<uint32_t>(jpeg.size()), width, height)) {
                return true;
            }
        }
    }
    error = "no frame of the archives can be decoded";
    return false;
}

// Gives each frame its time from the start of the video: its record's own time, or, in a file
// of one rate, its place times the frame length.
class FrameTimes {
public:
    FrameTimes(double origin_s, bool is_uniform, int32_t rate_numerator, int32_t rate_denominator)
        : origin_s_(origin_s),
          is_uniform_(is_uniform),
          rate_numerator_(rate_numerator),
          rate_denominator_(rate_denominator) {}

    GstClockTime Next(std::optional<double> record_s) {
        int64_t time_ns = 0;
        if (is_uniform_) {
            time_ns = static_cast<int64_t>(gst_util_uint64_scale(static_cast<guint64>(index_),
                                                                 GST_SECOND * static_cast<guint64>(rate_denominator_),
                                                                 static_cast<guint64>(rate_numerator_)));
        } else {
            // Whole milliseconds: the records' times are no finer.
            if (record_s)
                time_ns = std::max<int64_t>(0, std::llround((*record_s - origin_s_) * 1000.0) * kNanosecondsPerMs);
            // No time, a clock set back or a damaged time: just after the frame before.
            if (index_ > 0 && (!record_s || time_ns <= previous_ns_)) time_ns = previous_ns_ + kNanosecondsPerMs;
        }
        previous_ns_ = time_ns;
        ++index_;
        return static_cast<GstClockTime>(time_ns);
    }

private:
    double origin_s_;
    bool is_uniform_;
    int32_t rate_numerator_;
    int32_t rate_denominator_;
    int64_t index_ = 0;
    int64_t previous_ns_ = 0;
};

// A black frame as a JPEG stream of the archive's kind.
GstBuffer* BlackJpeg(int width, int height, std::string& error) {
    BMP_File black;
    black.Create(width, height);
    std::memset(black.GetBits(), 0, black.GetBitsSize());
    JpegCodec codec;
    JpegCodec::ArchiveJpeg encoded;
    if (!codec.EncodeForArchive(black, UINT32_MAX, &encoded)) {
        error = "cannot make a black frame: " + codec.LastError();
        return nullptr;
    }
    return gst_buffer_new_memdup(encoded.data, encoded.size);
}

class VideoExporter {
public:
    VideoExporter(const VideoExportOptions& options, const VideoExportProgress& on_progress)
        : options_(options), on_progress_(on_progress) {}

    VideoExportResult Run(const std::vector<std::string>& archive_paths, const std::string& out_path);
    // Into a pipe or socket instead of a file of its own.
    void StreamInto(int fd) { stream_fd_ = fd; }

private:
    bool Fail(const std::string& error) {
        result_.error = error.empty() ? pipeline_.Error() : error;
        if (result_.error.empty()) result_.error = "writing the video failed";
        pipeline_.Stop();
        output_.Abandon();
        result_.frames_written = 0;
        return false;
    }
    bool Cancel() {
        pipeline_.Stop();
        output_.Abandon();
        result_.is_cancelled = true;
        result_.frames_written = 0;
        return false;
    }
    bool Prepare(const std::vector<std::string>& archive_paths, const std::string& out_path);
    bool WriteFrames();
    // The picture of one record as the stream's buffer; nothing when it has none.
    GstBuffer* JpegFrame(CArchiveReader& reader, int32_t record);
    GstBuffer* RawFrame(CArchiveReader& reader, int32_t record);
    // Hands on the frame before, now that its length is known, and keeps this one back.
    bool Emit(GstBuffer* frame, GstClockTime time);

    VideoExportOptions options_;
    const VideoExportProgress& on_progress_;
    VideoExportResult result_;
    SafeOutputRules rules_;
    std::vector<ArchiveSpan> spans_;
    int64_t frame_count_ = 0;
    double origin_s_ = 0.0;
    double frame_seconds_ = kFallbackFrameSeconds;  // the average, for the last frame's length
    VideoStreamFormat format_;
    int stream_fd_ = -1;
    int source_width_ = 0;  // of the first frame, before H.264 evens it
    int source_height_ = 0;
    H264Encoder encoder_;
    CSafeOutput output_;
    CVideoMuxPipeline pipeline_;

    JpegCodec codec_;
    std::vector<uint8_t> jpeg_;
    BMP_File picture_;  // frames of another size, before they are scaled
    GstBufferPtr last_frame_;
    GstBufferPtr pending_;
};

bool VideoExporter::Prepare(const std::vector<std::string>& archive_paths, const std::string& out_path) {
    if (archive_paths.empty()) return Fail("no archives to export");
    if (const std::string refusal = CombinationRefusal(options_.container, options_.codec); !refusal.empty()) {
        return Fail(refusal);
    }
    if (options_.codec == VideoCodec::kH264) {
        encoder_ = FindH264Encoder();
        if (!encoder_.IsAvailable()) return Fail(encoder_.unavailable_reason);
    }
    const bool is_streamed = stream_fd_ >= 0;
    if (is_streamed && options_.container != VideoContainer::kMatroska)
        return Fail("only Matroska is written as a stream");
    rules_.protected_paths = archive_paths;
    rules_.needs_seeking = true;  // the muxers complete their headers and indexes at the end
    std::string refusal;
    if (!is_streamed && !CheckOutputPath(out_path, rules_, refusal)) return Fail(refusal);

    std::string error;
    if (!SurveyArchives(archive_paths, spans_, error)) return Fail(error);
    std::optional<double> last_s;
    for (const ArchiveSpan& span : spans_) {
        frame_count_ += span.frame_count;
        if (span.last_s) last_s = std::max(last_s.value_or(*span.last_s), *span.last_s);
    }
    if (frame_count_ == 0)
        return Fail(archive_paths.size() == 1 ? "the archive holds no frames" : "the archives hold no frames");
    origin_s_ = spans_.front().first_s.value_or(0.0);
    if (spans_.front().first_s && last_s) result_.span_s = std::max(0.0, *last_s - origin_s_);
    if (frame_count_ > 1 && result_.span_s > 0) frame_seconds_ = result_.span_s / static_cast<double>(frame_count_ - 1);

    if (!FindFirstPicture(spans_, source_width_, source_height_, error)) return Fail(error);
    format_.container = options_.container;
    format_.codec = options_.codec;
    format_.width = source_width_;
    format_.height = source_height_;
    if (options_.codec == VideoCodec::kH264) {
        // 4:2:0 pictures have even sides.
        format_.width &= ~1;
        format_.height &= ~1;
        if (format_.width < 2 || format_.height < 2) {
            return Fail("frames of " + std::to_string(source_width_) + "x" + std::to_string(source_height_) +
                        " are too small for H.264");
        }
    }
    if (options_.container == VideoContainer::kAvi) {
        // The rate as AVI players know it: a million over the microseconds of a frame, or a
        // thousand over its milliseconds where frames are more than half an hour apart.
        const double frame_us = std::max(1.0, std::round(frame_seconds_ * 1e6));
        const bool is_in_us = frame_us <= INT32_MAX;
        format_.rate_numerator = is_in_us ? 1000000 : 1000;
        format_.rate_denominator = static_cast<int32_t>(
            is_in_us ? frame_us : std::min<double>(INT32_MAX, std::max(1.0, std::round(frame_seconds_ * 1e3))));
    }
    result_.width = format_.width;
    result_.height = format_.height;

    format_.is_streamed = is_streamed;
    if (!is_streamed && !output_.Open(out_path, rules_)) return Fail(output_.Error());
    if (!pipeline_.Start(format_, encoder_.factory, is_streamed ? stream_fd_ : output_.Fd())) return Fail({});
    return true;
}

GstBuffer* VideoExporter::JpegFrame(CArchiveReader& reader, int32_t record) {
    // Read straight into the buffer the muxer writes from.
    GstBufferPtr frame;
    GstMapInfo map;
    bool is_mapped = false;
    const bool is_read = reader.ReadFrameJpegInto(record, [&](uint32_t length) -> uint8_t* {
        frame.reset(gst_buffer_new_allocate(nullptr, length, nullptr));
        is_mapped = frame && gst_buffer_map(frame.get(), &map, GST_MAP_WRITE);
        return is_mapped ? map.data : nullptr;
    });
    // Copied unchanged, but only what a player can decode: the other exports take a record
    // without a picture the same way, as the frame before once more.
    int width = 0;
    int height = 0;
    const bool is_decodable =
        is_read && is_mapped && codec_.ReadDecodableHeader(map.data, static_cast<uint32_t>(map.size), width, height);
    if (is_mapped) gst_buffer_unmap(frame.get(), &map);
    return is_decodable ? frame.release() : nullptr;
}

GstBuffer* VideoExporter::RawFrame(CArchiveReader& reader, int32_t record) {
    if (!reader.ReadFrameJpeg(record, jpeg_)) return nullptr;
    GstBufferPtr frame(pipeline_.NewRawFrame());
    GstMapInfo map;
    if (!frame || !gst_buffer_map(frame.get(), &map, GST_MAP_WRITE)) return nullptr;
    const auto length = static_cast<uint32_t>(jpeg_.size());
    const int stride = static_cast<int>(pipeline_.RawStride());
    bool is_decoded =
        codec_.DecodeJpegInto(jpeg_.data(), length, map.data, format_.width, format_.height, stride, false);
    if (!is_decoded && codec_.DecodeJpegWithin(jpeg_.data(), length, kMaxFittedPictureBytes, picture_)) {
        FitPictureRows(picture_, format_.width, format_.height, map.data, static_cast<size_t>(stride), false);
        if (picture_.GetWidth() != source_width_ || picture_.GetHeight() != source_height_) ++result_.frames_fitted;
        if (picture_.GetPixelCount() * 3 > kMaxFittedPictureBytes / 4) picture_ = BMP_File();
        is_decoded = true;
    }
    gst_buffer_unmap(frame.get(), &map);
    return is_decoded ? frame.release() : nullptr;
}

bool VideoExporter::Emit(GstBuffer* frame, GstClockTime time) {
    if (pending_) {
        GST_BUFFER_DURATION(pending_.get()) = time - GST_BUFFER_PTS(pending_.get());
        if (!pipeline_.Push(pending_.release())) return Fail({});
    }
    GST_BUFFER_PTS(frame) = time;
    GST_BUFFER_DTS(frame) = time;
    pending_.reset(frame);
    return true;
}

bool VideoExporter::WriteFrames() {
    const bool is_uniform = options_.container == VideoContainer::kAvi;
    FrameTimes times(origin_s_, is_uniform, format_.rate_numerator, format_.rate_denominator);
    const bool is_copy = options_.codec == VideoCodec::kMotionJpeg;
    CArchiveReader reader;
    int64_t done = 0;
    for (const ArchiveSpan& span : spans_) {
        // A reader of its own: what the playback panel shows has no say in what is exported.
        if (!reader.OpenFile(span.path)) return Fail(reader.GetLastError());
        for (int32_t record = 0; record < span.frame_count; ++record) {
            GstBuffer* frame = is_copy ? JpegFrame(reader, record) : RawFrame(reader, record);
            if (frame == nullptr) {
                // The frame before once more, or black before the first.
                ++result_.frames_repeated;
                if (last_frame_) {
                    frame = gst_buffer_copy(last_frame_.get());
                } else if (is_copy) {
                    std::string error;
                    frame = BlackJpeg(format_.width, format_.height, error);
                    if (frame == nullptr) return Fail(error);
                } else {
                    frame = pipeline_.NewRawFrame();
                    gst_buffer_memset(frame, 0, 0, gst_buffer_get_size(frame));
                }
            }
            last_frame_.reset(gst_buffer_ref(frame));
            if (!Emit(frame, times.Next(RecordSeconds(reader.GetRecord(record))))) return false;
            ++result_.frames_written;
            if (on_progress_ && !on_progress_(++done, frame_count_)) return Cancel();
        }
    }
    last_frame_.reset();
    if (pending_) {
        GST_BUFFER_DURATION(pending_.get()) =
            is_uniform ? gst_util_uint64_scale(GST_SECOND, static_cast<guint64>(format_.rate_denominator),
                                               static_cast<guint64>(format_.rate_numerator))
                       : static_cast<GstClockTime>(std::llround(frame_seconds_ * 1000.0) * kNanosecondsPerMs);
        if (!pipeline_.Push(pending_.release())) return Fail({});
    }
    bool is_cancelled = false;
    const bool is_finished = pipeline_.Finish([&] {
        is_cancelled = on_progress_ && !on_progress_(frame_count_, frame_count_);
        return !is_cancelled;
    });
    if (is_cancelled) return Cancel();
    if (!is_finished) return Fail({});
    if (stream_fd_ < 0 && !output_.Commit()) return Fail(output_.Error());
    result_.is_written = true;
    return true;
}

VideoExportResult VideoExporter::Run(const std::vector<std::string>& archive_paths, const std::string& out_path) {
    if (Prepare(archive_paths, out_path)) WriteFrames();
    pending_.reset();
    last_frame_.reset();
    pipeline_.Stop();
    return result_;
}

}  // namespace

VideoExportResult ExportVideoToStream(const std::vector<std::string>& archive_paths, int fd,
                                      const VideoExportOptions& options, const VideoExportProgress& on_progress) {
    try {
        VideoExporter exporter(options, on_progress);
        exporter.StreamInto(fd);
        return exporter.Run(archive_paths, {});
    } catch (const std::exception& error) {
        VideoExportResult result;
        result.error = std::string("the export stopped: ") + error.what();
        return result;
    }
}

VideoExportResult ExportVideo(const std::vector<std::string>& archive_paths, const std::string& out_path,
                              const VideoExportOptions& options, const VideoExportProgress& on_progress) {
    try {
        VideoExporter exporter(options, on_progress);
        return exporter.Run(archive_paths, out_path);
    } catch (const std::exception& error) {
        // Out of memory for a frame; the partial file is gone with the exporter.
        VideoExportResult result;
        result.error = std::string("the export stopped: ") + error.what();
        return result;
    }
}
