#include "capture/row_flip.h"

#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <cstring>
#include <mutex>

GST_DEBUG_CATEGORY_STATIC(row_flip_debug);
#define GST_CAT_DEFAULT row_flip_debug

namespace {

struct RowFlip {
    GstVideoFilter parent;
};
struct RowFlipClass {
    GstVideoFilterClass parent_class;
};

G_DEFINE_TYPE(RowFlip, row_flip, GST_TYPE_VIDEO_FILTER)

GstFlowReturn FlipRows(GstVideoFilter* filter, GstVideoFrame* in, GstVideoFrame* out) {
    const int height = GST_VIDEO_FRAME_HEIGHT(in);
    GST_LOG_OBJECT(filter, "flipping %dx%d", GST_VIDEO_FRAME_WIDTH(in), height);
    const size_t row_bytes = static_cast<size_t>(GST_VIDEO_FRAME_WIDTH(in)) * 4;
    const int in_stride = GST_VIDEO_FRAME_PLANE_STRIDE(in, 0);
    const int out_stride = GST_VIDEO_FRAME_PLANE_STRIDE(out, 0);
    const auto* source = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(in, 0));
    auto* target = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(out, 0));
    for (int y = 0; y < height; ++y) {
        std::memcpy(target + static_cast<size_t>(y) * out_stride,
                    source + static_cast<size_t>(height - 1 - y) * in_stride, row_bytes);
    }
    return GST_FLOW_OK;
}

void row_flip_class_init(RowFlipClass* klass) {
    static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
        "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("BGRx")));
    static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
        "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("BGRx")));
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "Row order flip", "Filter/Effect/Video",
                                          "Turns BGRx frames upside down by whole rows", "Cindral");
    GST_VIDEO_FILTER_CLASS(klass)->transform_frame = FlipRows;
}

void row_flip_init(RowFlip*) {}

}  // namespace

bool RegisterRowFlip() {
    static std::once_flag once;
    static bool is_registered = false;
    std::call_once(once, [] {
        GST_DEBUG_CATEGORY_INIT(row_flip_debug, "cindralrowflip", 0, "Cindral's row order flip");
        is_registered = gst_element_register(nullptr, "cindralrowflip", GST_RANK_NONE, row_flip_get_type());
        if (!is_registered) GST_WARNING("cindralrowflip could not be registered; videoflip stands in");
    });
    return is_registered;
}
