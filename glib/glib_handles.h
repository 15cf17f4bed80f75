#pragma once

// Owning handles for GLib and GIO objects: references, sources, main contexts, errors and
// strings. The GStreamer ones are in gst_handles.h.
#include <memory>
#include <string>

#include <glib-object.h>

// A deleter that hands what it holds, when anything, to the library's own release function.
template <auto Release>
struct ReleasedBy {
    template <typename T>
    void operator()(T* object) const {
        if (object) Release(object);
    }
};

// Holds one reference to a GObject (a SoupServer, a GSocket, a GInetAddress, ...).
template <typename T>
using GObjectPtr = std::unique_ptr<T, ReleasedBy<g_object_unref>>;

// Takes a reference of our own with Take (a reference, or the sink of a floating one) and holds
// it in the handle Ptr.
template <typename Ptr, auto Take, typename T>
Ptr TakeReference(T* object) {
    if (object) Take(object);
    return Ptr(object);
}

// Adds a reference of our own to a GObject someone else owns.
template <typename T>
GObjectPtr<T> ShareGObject(T* object) {
    return TakeReference<GObjectPtr<T>, g_object_ref>(object);
}

// A reference to a source; attaching it gives the main context a reference of its own.
using GSourcePtr = std::unique_ptr<GSource, ReleasedBy<g_source_unref>>;

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

using GMainContextPtr = std::unique_ptr<GMainContext, ReleasedBy<g_main_context_unref>>;
using GErrorPtr = std::unique_ptr<GError, ReleasedBy<g_error_free>>;

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
