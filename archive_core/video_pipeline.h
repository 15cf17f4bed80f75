#pragma once

#include <gst/gst.h>
#include <gst/video/video-info.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "glib/gst_handles.h"

enum class VideoContainer { kMatroska, kAvi, kMp4 };
enum class VideoCodec { kMotionJpeg, kH264 };

// The container a file name asks for by its extension (.mkv, .avi, .mp4 in any letter case).
std::optional<VideoContainer> ContainerForPath(std::string_view path);
// Stored JPEGs copied for Matroska and AVI; H.264 for MP4.
VideoCodec DefaultCodec(VideoContainer container);
// Why container cannot hold codec; empty when it can.
std::string CombinationRefusal(VideoContainer container, VideoCodec codec);
const char* ContainerName(VideoContainer container);
const char* CodecName(VideoCodec codec);

// The H.264 encoder GStreamer offers: x264enc, or an empty factory and the reason.
struct H264Encoder {
    std::string factory;
    std::string unavailable_reason;
    bool IsAvailable() const { return !factory.empty(); }
};
H264Encoder FindH264Encoder();

// Starts GStreamer once per process; false with error set when it cannot start.
bool EnsureGstreamer(std::string& error);

struct VideoStreamFormat {
    VideoContainer container = VideoContainer::kMatroska;
    VideoCodec codec = VideoCodec::kMotionJpeg;
    int32_t width = 0;
    int32_t height = 0;
    // Frames per second as a fraction; 0/1 when each frame carries its own time.
    int32_t rate_numerator = 0;
    int32_t rate_denominator = 1;
    // The descriptor is a pipe or socket: the muxer writes straight through, never seeking back.
    bool is_streamed = false;
};

// A GStreamer pipeline that takes frames and writes one video stream in a container into a file
// descriptor it does not own: stored JPEGs go to the muxer as they are; for H.264, packed
// blue-green-red frames are converted and encoded on GStreamer's threads. Pushing waits while
// a few frames are queued, so memory stays bounded whatever the speed of the encoder.
class CVideoMuxPipeline {
public:
    CVideoMuxPipeline() = default;
    ~CVideoMuxPipeline() { Stop(); }
    CVideoMuxPipeline(const CVideoMuxPipeline&) = delete;
    CVideoMuxPipeline& operator=(const CVideoMuxPipeline&) = delete;

    // fd must stay open (and seekable unless the format is streamed) until Finish or Stop
    // returns. False with Error().
    bool Start(const VideoStreamFormat& format, const std::string& h264_factory, int fd);
    // A frame of the stream's raw layout (H.264 only): RawStride() bytes a row, row 0 on top.
    GstBuffer* NewRawFrame() const;
    size_t RawStride() const { return static_cast<size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&raw_info_, 0)); }
    // Takes the buffer (its time stamps set). False with Error() once the pipeline has failed.
    bool Push(GstBuffer* buffer);
    // Ends the stream and waits until the file is complete. keep_waiting is asked between
    // short waits; false cancels. False with Error() on failure or cancel.
    bool Finish(const std::function<bool()>& keep_waiting);
    // Drops the pipeline; what it wrote is the caller's to discard.
    void Stop();
    const std::string& Error() const { return error_; }

private:
    bool Fail(std::string message);
    GstElement* Add(const char* factory, const char* step);
    // The error a bus message carries, when it is one.
    bool TakeBusError(GstMessage* message);

    GstObjectPtr<GstElement> pipeline_;
    GstObjectPtr<GstBus> bus_;
    GstElement* source_ = nullptr;  // owned by pipeline_
    GstVideoInfo raw_info_{};
    uint64_t max_queued_bytes_ = 0;
    std::string error_;
};
