#include "archive_core/video_pipeline.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cctype>

namespace {

// Queued stored JPEGs: a few dozen camera frames. Raw frames: two, so that converting one
// overlaps encoding the other.
constexpr uint64_t kMaxQueuedJpegBytes = 8 * 1024 * 1024;
constexpr uint64_t kQueuedRawFrames = 2;
constexpr GstClockTime kQueueWait = 2 * GST_MSECOND;
constexpr GstClockTime kFinishWait = 50 * GST_MSECOND;
// How long a refused buffer waits for the bus to say why.
constexpr GstClockTime kErrorReportWait = GST_SECOND;

// x264enc's settings: the speed of ffmpeg's "veryfast" at its default quality (CRF 23), a key
// frame at least every 60 frames, so that players seek quickly.
constexpr char kH264Preset[] = "veryfast";
constexpr guint kH264Quality = 23;
constexpr guint kH264KeyFrameInterval = 60;
// Time stamps of MP4 tracks in 1/90000 s: every whole millisecond is exact.
constexpr guint kMp4TrackTimescale = 90000;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const char* MuxerFactory(VideoContainer container) {
    switch (container) {
        case VideoContainer::kMatroska: return "matroskamux";
        case VideoContainer::kAvi: return "avimux";
        case VideoContainer::kMp4: return "mp4mux";
    }
    return "matroskamux";
}

}  // namespace

std::optional<VideoContainer> ContainerForPath(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    const std::string_view extension = name.substr(dot + 1);
    if (EqualsIgnoringCase(extension, "mkv")) return VideoContainer::kMatroska;
    if (EqualsIgnoringCase(extension, "avi")) return VideoContainer::kAvi;
    if (EqualsIgnoringCase(extension, "mp4")) return VideoContainer::kMp4;
    return std::nullopt;
}

VideoCodec DefaultCodec(VideoContainer container) {
    return container == VideoContainer::kMp4 ? VideoCodec::kH264 : VideoCodec::kMotionJpeg;
}

std::string CombinationRefusal(VideoContainer container, VideoCodec codec) {
    if (container == VideoContainer::kMp4 && codec == VideoCodec::kMotionJpeg) {
        return "MP4 files are written in H.264; the stored JPEGs are copied into .mkv or .avi files";
    }
    return {};
}

const char* ContainerName(VideoContainer container) {
    switch (container) {
        case VideoContainer::kMatroska: return "Matroska";
        case VideoContainer::kAvi: return "AVI";
        case VideoContainer::kMp4: return "MP4";
    }
    return "";
}

const char* CodecName(VideoCodec codec) { return codec == VideoCodec::kH264 ? "H.264" : "Motion JPEG"; }

bool EnsureGstreamer(std::string& error) {
    if (gst_is_initialized()) return true;
    GError* raw_error = nullptr;
    if (gst_init_check(nullptr, nullptr, &raw_error)) return true;
    const GErrorPtr init_error(raw_error);
    error = std::string("GStreamer cannot start: ") + (init_error ? init_error->message : "unknown error");
    return false;
}

H264Encoder FindH264Encoder() {
    H264Encoder encoder;
    if (!EnsureGstreamer(encoder.unavailable_reason)) return encoder;
    GstObjectPtr<GstElementFactory> factory(gst_element_factory_find("x264enc"));
    if (factory) {
        encoder.factory = "x264enc";
    } else {
        encoder.unavailable_reason =
            "no H.264 encoder is installed (GStreamer's x264enc, from the package gstreamer1.0-plugins-ugly)";
    }
    return encoder;
}

bool CVideoMuxPipeline::Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    Stop();
    return false;
}

GstElement* CVideoMuxPipeline::Add(const char* factory, const char* step) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr) {
        Fail(std::string("GStreamer has no ") + factory + " element to " + step + " with");
        return nullptr;
    }
    gst_bin_add(GST_BIN(pipeline_.get()), element);  // the pipeline owns it from here
    return element;
}

bool CVideoMuxPipeline::TakeBusError(GstMessage* message) {
    if (message == nullptr || GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return false;
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    const GErrorPtr error(raw_error);
    const GCharPtr debug(raw_debug);
    const GCharPtr source(gst_object_get_name(GST_MESSAGE_SRC(message)));
    std::string text = std::string(source ? source.get() : "GStreamer") + ": " + (error ? error->message : "failed");
    if (debug) text += std::string(" (") + debug.get() + ")";
    Fail(text);
    return true;
}

bool CVideoMuxPipeline::Start(const VideoStreamFormat& format, const std::string& h264_factory, int fd) {
    Stop();
    error_.clear();
    if (!EnsureGstreamer(error_)) return false;
    if (const std::string refusal = CombinationRefusal(format.container, format.codec); !refusal.empty()) {
        return Fail(refusal);
    }
    if (format.codec == VideoCodec::kH264 && h264_factory.empty()) return Fail(FindH264Encoder().unavailable_reason);

    pipeline_ = AdoptFloating(gst_pipeline_new("cindral-video-export"));
    if (!pipeline_) return Fail("GStreamer cannot make a pipeline");
    bus_.reset(gst_element_get_bus(pipeline_.get()));

    source_ = Add("appsrc", "take the frames");
    if (source_ == nullptr) return false;
    GstCapsPtr caps;
    if (format.codec == VideoCodec::kMotionJpeg) {
        caps.reset(gst_caps_new_simple("image/jpeg", "width", G_TYPE_INT, format.width, "height", G_TYPE_INT,
                                       format.height, "framerate", GST_TYPE_FRACTION, format.rate_numerator,
                                       format.rate_denominator, nullptr));
        max_queued_bytes_ = kMaxQueuedJpegBytes;
    } else {
        gst_video_info_set_format(&raw_info_, GST_VIDEO_FORMAT_BGR, static_cast<guint>(format.width),
                                  static_cast<guint>(format.height));
        GST_VIDEO_INFO_FPS_N(&raw_info_) = format.rate_numerator;
        GST_VIDEO_INFO_FPS_D(&raw_info_) = format.rate_denominator;
        caps.reset(gst_video_info_to_caps(&raw_info_));
        max_queued_bytes_ = kQueuedRawFrames * GST_VIDEO_INFO_SIZE(&raw_info_);
    }
    g_object_set(source_, "caps", caps.get(), "format", GST_FORMAT_TIME, "is-live", FALSE, "block", FALSE, "max-bytes",
                 static_cast<guint64>(max_queued_bytes_), nullptr);

    GstElement* last = source_;
    // The muxers' video pads are asked for by name: a muxer may take JPEG on its audio pads too.
    auto link = [&](GstElement* next, GstCaps* filter = nullptr, const char* pad = nullptr) {
        if (next == nullptr) return false;
        const bool is_linked = gst_element_link_pads_filtered(last, nullptr, next, pad, filter);
        if (!is_linked) {
            const GCharPtr from(gst_object_get_name(GST_OBJECT(last)));
            const GCharPtr to(gst_object_get_name(GST_OBJECT(next)));
            return Fail(std::string("GStreamer cannot link ") + from.get() + " to " + to.get());
        }
        last = next;
        return true;
    };
    if (format.codec == VideoCodec::kH264) {
        GstElement* convert = Add("videoconvert", "convert the frames");
        if (!link(convert)) return false;
        GstElement* encoder = Add(h264_factory.c_str(), "encode H.264");
        if (encoder == nullptr) return false;
        gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", kH264Preset);
        gst_util_set_object_arg(G_OBJECT(encoder), "pass", "qual");
        g_object_set(encoder, "quantizer", kH264Quality, "key-int-max", kH264KeyFrameInterval, nullptr);
        const GstCapsPtr planar(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", nullptr));
        if (!link(encoder, planar.get())) return false;
        // AVI takes the stream with start codes; Matroska and MP4 with length prefixes.
        const GstCapsPtr h264(gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING,
                                                  format.container == VideoContainer::kAvi ? "byte-stream" : "avc",
                                                  "alignment", G_TYPE_STRING, "au", nullptr));
        GstElement* muxer = Add(MuxerFactory(format.container), "write the container");
        if (!link(muxer, h264.get(), "video_%u")) return false;
    } else {
        GstElement* muxer = Add(MuxerFactory(format.container), "write the container");
        if (!link(muxer, nullptr, "video_%u")) return false;
    }
    if (format.container == VideoContainer::kMp4) g_object_set(last, "trak-timescale", kMp4TrackTimescale, nullptr);
    if (format.container == VideoContainer::kMatroska) g_object_set(last, "writing-app", "Cindral", nullptr);
    if (format.container == VideoContainer::kMatroska && format.is_streamed)
        g_object_set(last, "streamable", TRUE, nullptr);

    GstElement* sink = Add("fdsink", "write the file");
    if (sink == nullptr) return false;
    g_object_set(sink, "fd", fd, "sync", FALSE, "async", FALSE, nullptr);
    if (!link(sink)) return false;

    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const GstMessagePtr message(gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR));
        if (!TakeBusError(message.get())) return Fail("the GStreamer export pipeline does not start");
        return false;
    }
    return true;
}

GstBuffer* CVideoMuxPipeline::NewRawFrame() const {
    return gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&raw_info_), nullptr);
}

bool CVideoMuxPipeline::Push(GstBuffer* buffer) {
    if (!pipeline_) {
        gst_buffer_unref(buffer);
        return Fail("the export pipeline is not running");
    }
    // Waits for room in the queue, or for the error that keeps it from draining.
    while (gst_app_src_get_current_level_bytes(GST_APP_SRC(source_)) >= max_queued_bytes_) {
        const GstMessagePtr message(gst_bus_timed_pop_filtered(bus_.get(), kQueueWait, GST_MESSAGE_ERROR));
        if (TakeBusError(message.get())) {
            gst_buffer_unref(buffer);
            return false;
        }
    }
    const GstMessagePtr message(gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR));
    if (TakeBusError(message.get())) {
        gst_buffer_unref(buffer);
        return false;
    }
    const GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(source_), buffer);
    if (flow == GST_FLOW_OK) return true;
    const GstMessagePtr reason(gst_bus_timed_pop_filtered(bus_.get(), kErrorReportWait, GST_MESSAGE_ERROR));
    if (TakeBusError(reason.get())) return false;
    return Fail(std::string("the export pipeline refused a frame: ") + gst_flow_get_name(flow));
}

bool CVideoMuxPipeline::Finish(const std::function<bool()>& keep_waiting) {
    if (!pipeline_) return Fail("the export pipeline is not running");
    if (gst_app_src_end_of_stream(GST_APP_SRC(source_)) != GST_FLOW_OK) {
        const GstMessagePtr message(gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR));
        if (!TakeBusError(message.get())) return Fail("the export pipeline cannot end its stream");
        return false;
    }
    for (;;) {
        const GstMessagePtr message(gst_bus_timed_pop_filtered(
            bus_.get(), kFinishWait, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        if (TakeBusError(message.get())) return false;
        if (message) break;  // the end of the stream reached the file
        if (keep_waiting && !keep_waiting()) return Fail("cancelled");
    }
    Stop();
    return true;
}

void CVideoMuxPipeline::Stop() {
    if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    source_ = nullptr;
    bus_.reset();
    pipeline_.reset();
}
