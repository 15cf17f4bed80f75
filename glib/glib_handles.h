#pragma once

// Owning handles for GLib and GIO objects: references, sources, main contexts, errors and
// strings. The GStreamer ones are in gst_handles.h.
#include <memory>
#include <string>

#include <glib-object.h>

template <typename T>
struct GObjectUnref {
    void operator()(T* object) const {
        if (object) g_object_unref(object);
    }
};
// Holds one reference to a GObject (a SoupServer, a GSocket, a GInetAddress, ...).
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

// Adds a reference of our own to a GObject someone else owns.
template <typename T>
GObjectPtr<T> ShareGObject(T* object) {
    if (object) g_object_ref(object);
    return GObjectPtr<T>(object);
}

struct GSourceUnref {
    void operator()(GSource* source) const {
        if (source) g_source_unref(source);
    }
};
// A reference to a source; attaching it gives the main context a reference of its own.
using GSourcePtr = std::unique_ptr<GSource, GSourceUnref>;

struct GSourceDestroy {
    void operator()(GSource* source) const {
        if (source == nullptr) return;
        g_source_destroy(source);
        g_source_unref(source);
    }
};
// A source that runs only as long as its handle lives: dropping the handle takes it off its
// main context (a source may drop its own handle from its callback).
using GAttachedSourcePtr = std::unique_ptr<GSource, GSourceDestroy>;

struct GMainContextUnref {
    void operator()(GMainContext* context) const {
        if (context) g_main_context_unref(context);
    }
};
using GMainContextPtr = std::unique_ptr<GMainContext, GMainContextUnref>;

struct GErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

// Fills a GErrorPtr through a call's GError** parameter: g_call(..., GErrorSlot(error)).
// A call that succeeds leaves what the holder had.
class GErrorSlot {
public:
    explicit GErrorSlot(GErrorPtr& holder) : holder_(holder) {}
    ~GErrorSlot() {
        if (raw_) holder_.reset(raw_);
    }
    GErrorSlot(const GErrorSlot&) = delete;
    GErrorSlot& operator=(const GErrorSlot&) = delete;
    operator GError**() { return &raw_; }  // NOLINT(google-explicit-constructor): an out-parameter

private:
    GErrorPtr& holder_;
    GError* raw_ = nullptr;
};

// The error's message, or "unknown error" when the library gave none.
inline std::string GErrorText(const GErrorPtr& error) { return error ? error->message : "unknown error"; }

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;
