#include "capture/vrender.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

VRender::VRender(IFrameSinkOwner& owner, bool sync_to_clock) : owner_(owner) {
    sink_ = AdoptFloating(gst_element_factory_make("appsink", "Renderer"));
    if (!sink_) return;
    GstCapsPtr caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr));
    GstAppSink* app_sink = GST_APP_SINK(sink_.get());
    gst_app_sink_set_caps(app_sink, caps.get());
    // No queue of our own: the streaming thread renders each frame before taking the next.
    g_object_set(sink_.get(), "sync", sync_to_clock ? TRUE : FALSE, "max-buffers", 1u, "drop", FALSE,
                 "enable-last-sample", FALSE, "qos", sync_to_clock ? TRUE : FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &VRender::OnNewSample;
    gst_app_sink_set_callbacks(app_sink, &callbacks, this, nullptr);
}

VRender::~VRender() {
    if (sink_) {
        GstAppSinkCallbacks none{};
        gst_app_sink_set_callbacks(GST_APP_SINK(sink_.get()), &none, nullptr, nullptr);
    }
}

GstFlowReturn VRender::OnNewSample(GstAppSink* sink, gpointer user_data) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_OK;
    static_cast<VRender*>(user_data)->DoRenderSample(sample);
    gst_sample_unref(sample);
    // A failing frame never stops the stream.
    return GST_FLOW_OK;
}

void VRender::DoRenderSample(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!caps || !buffer) return;
    if (!last_caps_ || (last_caps_.get() != caps && !gst_caps_is_equal(last_caps_.get(), caps))) {
        GstVideoInfo info;
        if (!gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRx) {
            ++dropped_frames_;
            return;
        }
        last_caps_.reset(gst_caps_ref(caps));
        const int32_t width = GST_VIDEO_INFO_WIDTH(&info);
        const int32_t height = GST_VIDEO_INFO_HEIGHT(&info);
        frame_size_bytes_ = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
        owner_.OnFrameSize(width, height);
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        ++dropped_frames_;
        return;
    }
    if (map.size == frame_size_bytes_) {
        owner_.OnFrame(map.data, map.size);
    } else {
        ++dropped_frames_;
    }
    gst_buffer_unmap(buffer, &map);
}
