#pragma once

// Owning handles for the GStreamer objects the capture code keeps; the GLib ones are in
// glib_handles.h.
#include <memory>

#include <gst/gst.h>

#include "glib/glib_handles.h"

// Holds one full (non-floating) reference; see AdoptFloating for new elements.
template <typename T>
using GstObjectPtr = std::unique_ptr<T, ReleasedBy<gst_object_unref>>;

// Takes ownership of a freshly created (possibly floating) object.
template <typename T>
GstObjectPtr<T> AdoptFloating(T* object) {
    return TakeReference<GstObjectPtr<T>, gst_object_ref_sink>(object);
}

// Adds a reference of our own to an object someone else owns.
template <typename T>
GstObjectPtr<T> ShareObject(T* object) {
    return TakeReference<GstObjectPtr<T>, gst_object_ref>(object);
}

// gst_caps_unref and gst_message_unref are inline in GStreamer's headers: a type named after
// one would be local to each file, so these two keep deleters of their own.
struct GstCapsUnref {
    void operator()(GstCaps* caps) const {
        if (caps) gst_caps_unref(caps);
    }
};
using GstCapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;
struct GstMessageUnref {
    void operator()(GstMessage* message) const {
        if (message) gst_message_unref(message);
    }
};
using GstMessagePtr = std::unique_ptr<GstMessage, GstMessageUnref>;
using GstIteratorPtr = std::unique_ptr<GstIterator, ReleasedBy<gst_iterator_free>>;
