#include "capture/frame_sink.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <cstring>
#include <optional>

#include "jpeg/jpeg_stream.h"
#include "platform/thread_handover.h"

namespace {

struct RawFormat {
    GstVideoFormat format;
    PixelLayout layout;
};
// Planar YUV first: it converts and compresses with the least work.
constexpr RawFormat kRawFormats[] = {
    {GST_VIDEO_FORMAT_I420, PixelLayout::kI420}, {GST_VIDEO_FORMAT_NV12, PixelLayout::kNv12},
    {GST_VIDEO_FORMAT_YUY2, PixelLayout::kYuy2}, {GST_VIDEO_FORMAT_UYVY, PixelLayout::kUyvy},
    {GST_VIDEO_FORMAT_BGRx, PixelLayout::kBgrx}, {GST_VIDEO_FORMAT_BGR, PixelLayout::kBgr},
};

// The matrix and range the caps give, or BT.601 limited range when they name none.
YuvColour ColourOf(const GstStructure* structure, const GstVideoInfo& info) {
    if (!gst_structure_has_field(structure, "colorimetry")) return kBt601Limited;
    YuvColour colour = kBt601Limited;
    gdouble kr = 0;
    gdouble kb = 0;
    if (gst_video_color_matrix_get_Kr_Kb(info.colorimetry.matrix, &kr, &kb)) {
        colour.kr = kr;
        colour.kb = kb;
    }
    colour.is_full_range = info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
    return colour;
}

// A camera whose lines are padded can hand its frames over as they are, with their layout in
// a video meta (which the sink reads), instead of copying them to the standard layout first.
GstPadProbeReturn OfferLayoutMeta(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    if (GST_QUERY_TYPE(query) == GST_QUERY_ALLOCATION) {
        gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace

GstCapsPtr VRender::AcceptedCaps() {
    GstCapsPtr caps(gst_caps_new_empty());
    for (const RawFormat& raw : kRawFormats) {
        gst_caps_append_structure(caps.get(), gst_structure_new("video/x-raw", "format", G_TYPE_STRING,
                                                                gst_video_format_to_string(raw.format), nullptr));
    }
    gst_caps_append_structure(caps.get(), gst_structure_new_empty("image/jpeg"));
    return caps;
}

VRender::VRender(IFrameSinkOwner& owner, bool sync_to_clock) : owner_(owner) {
    sink_ = AdoptFloating(gst_element_factory_make("appsink", "Renderer"));
    if (!sink_) return;
    GstAppSink* app_sink = GST_APP_SINK(sink_.get());
    gst_app_sink_set_caps(app_sink, AcceptedCaps().get());
    // No queue of our own: the streaming thread renders each frame before taking the next.
    g_object_set(sink_.get(), "sync", sync_to_clock ? TRUE : FALSE, "max-buffers", 1u, "drop", FALSE,
                 "enable-last-sample", FALSE, "qos", sync_to_clock ? TRUE : FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &VRender::OnNewSample;
    gst_app_sink_set_callbacks(app_sink, &callbacks, this, nullptr);
    GstObjectPtr<GstPad> pad(gst_element_get_static_pad(sink_.get(), "sink"));
    if (pad) gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM, &OfferLayoutMeta, nullptr, nullptr);
}

VRender::~VRender() {
    // The streaming threads are done with this sink: the graph was stopped before.
    MarkReceived(this);
    if (sink_) {
        GstAppSinkCallbacks none{};
        gst_app_sink_set_callbacks(GST_APP_SINK(sink_.get()), &none, nullptr, nullptr);
    }
}

GstFlowReturn VRender::OnNewSample(GstAppSink* sink, gpointer user_data) {
    // A streaming thread may come from GStreamer's pool, started through GLib's own queue.
    MarkReceived(user_data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample) {
        static_cast<VRender*>(user_data)->DoRenderSample(sample);
        gst_sample_unref(sample);
    }
    MarkHandedOver(user_data);
    // A failing frame never stops the stream.
    return GST_FLOW_OK;
}

bool VRender::ReadCaps(GstCaps* caps) {
    if (gst_caps_get_size(caps) == 0) return false;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    if (gst_structure_has_name(structure, "image/jpeg")) {
        layout_ = PixelLayout::kJpeg;
        int width = 0;
        int height = 0;
        if (gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height) &&
            width > 0 && height > 0) {
            ReportSize(width, height);
        }
        return true;
    }
    if (!gst_video_info_from_caps(&info_, caps)) return false;
    for (const RawFormat& raw : kRawFormats) {
        if (GST_VIDEO_INFO_FORMAT(&info_) != raw.format) continue;
        layout_ = raw.layout;
        colour_ = ColourOf(structure, info_);
        ReportSize(GST_VIDEO_INFO_WIDTH(&info_), GST_VIDEO_INFO_HEIGHT(&info_));
        return true;
    }
    return false;
}

void VRender::ReportSize(int32_t width, int32_t height) {
    if (width == reported_width_ && height == reported_height_) return;
    reported_width_ = width;
    reported_height_ = height;
    owner_.OnFrameSize(width, -height);
}

void VRender::Drop(const std::string& cause) {
    ++dropped_frames_;
    owner_.OnFrameUnusable(cause);
}

void VRender::DoRenderSample(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!buffer) return;
    if (!caps) {
        Drop("a camera frame could not be used: it came without a format");
        return;
    }
    if (!last_caps_ || (last_caps_.get() != caps && !gst_caps_is_equal(last_caps_.get(), caps))) {
        last_caps_.reset(gst_caps_ref(caps));
        // A new connection announces its size again, even the same one.
        reported_width_ = 0;
        reported_height_ = 0;
        is_accepted_ = ReadCaps(caps);
    }
    if (!is_accepted_) {
        const GstStructure* structure = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
        const gchar* format = structure ? gst_structure_get_string(structure, "format") : nullptr;
        Drop(std::string("a camera frame could not be used: its format ") +
             (structure ? gst_structure_get_name(structure) : "(none)") + (format ? std::string(" ") + format : "") +
             " is not one the recorder takes");
        return;
    }
    if (gst_buffer_get_size(buffer) == 0) {
        Drop("a camera frame could not be used: it is empty");
        return;
    }
    if (layout_ == PixelLayout::kJpeg) {
        RenderJpeg(buffer);
    } else {
        RenderRaw(buffer);
    }
}

void VRender::RenderJpeg(GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        Drop("a camera frame could not be used: its memory cannot be read");
        return;
    }
    // The stream's own frame header says its size; caps may leave it out or, with some cameras,
    // disagree with it.
    const std::optional<JpegStreamInfo> stream =
        map.size <= UINT32_MAX ? ReadJpegStream(map.data, static_cast<uint32_t>(map.size)) : std::nullopt;
    if (stream && stream->width > 0 && stream->height > 0) ReportSize(stream->width, stream->height);
    if (reported_width_ > 0 && map.size > 0) {
        CameraFrame frame;
        frame.layout = PixelLayout::kJpeg;
        frame.colour = kBt601Full;
        frame.width = reported_width_;
        frame.height = -reported_height_;
        frame.planes[0] = map.data;
        frame.size_bytes = map.size;
        owner_.OnFrame(frame);
    } else {
        // No good frame yet has said the size, and this one's JPEG header cannot be read.
        Drop("a camera frame could not be used: its JPEG header cannot be read and its size is not known");
    }
    gst_buffer_unmap(buffer, &map);
}

void VRender::RenderRaw(GstBuffer* buffer) {
    GstVideoFrame video_frame;
    // Mapping checks that the buffer holds a whole frame of the caps (and follows its layout meta).
    if (!gst_video_frame_map(&video_frame, &info_, buffer, GST_MAP_READ)) {
        Drop("a camera frame could not be used: its buffer does not hold a whole frame of its format");
        return;
    }
    CameraFrame frame;
    frame.layout = layout_;
    frame.colour = colour_;
    frame.width = GST_VIDEO_FRAME_WIDTH(&video_frame);
    frame.height = -GST_VIDEO_FRAME_HEIGHT(&video_frame);
    for (guint plane = 0; plane < GST_VIDEO_FRAME_N_PLANES(&video_frame) && plane < 3; ++plane) {
        frame.planes[plane] = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&video_frame, plane));
        frame.strides[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&video_frame, plane);
    }
    frame.size_bytes = gst_buffer_get_size(buffer);
    frame.keeper = &kept_frames_;
    kept_frames_.Offer(&video_frame);
    owner_.OnFrame(frame);
    if (!kept_frames_.EndOffer()) gst_video_frame_unmap(&video_frame);
}
