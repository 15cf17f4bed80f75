#include "capture/busy_source.h"

#include <gst/base/gstbasesrc.h>
#include <gst/gst.h>

namespace {

struct BusySource {
    GstBaseSrc parent;
};
struct BusySourceClass {
    GstBaseSrcClass parent_class;
};

G_DEFINE_TYPE(BusySource, busy_source, GST_TYPE_BASE_SRC)

gboolean BusySourceStart(GstBaseSrc* source) {
    GST_ELEMENT_ERROR(source, RESOURCE, BUSY, ("Device is busy"), (nullptr));
    return FALSE;
}

void busy_source_class_init(BusySourceClass* klass) {
    static GstStaticPadTemplate src_template =
        GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "Busy test source", "Source/Video",
                                          "Fails to start like a camera in use", "Cindral");
    GST_BASE_SRC_CLASS(klass)->start = BusySourceStart;
}

void busy_source_init(BusySource* source) { gst_base_src_set_live(GST_BASE_SRC(source), TRUE); }

}  // namespace

void RegisterBusyTestSource() {
    gst_element_register(nullptr, "cindralbusysrc", GST_RANK_NONE, busy_source_get_type());
}
