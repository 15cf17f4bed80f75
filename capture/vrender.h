#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/gst_handles.h"

typedef struct _GstAppSink GstAppSink;

// What the frame sink calls, on the streaming thread: the capture object.
class IFrameSinkOwner {
public:
    virtual ~IFrameSinkOwner() = default;
    // The negotiated frame size, before the first frame of that size.
    virtual void OnFrameSize(int32_t width, int32_t height) = 0;
    // One whole frame of width x height x 4 bytes, valid during the call.
    virtual void OnFrame(const uint8_t* pixels, size_t size_bytes) = 0;
};

// The frame sink: an appsink that accepts only 32-bit blue-green-red-unused frames and
// hands each one, unchanged and uncopied, to its owner. It must outlive the streaming
// thread, so the graph is stopped before it is destroyed.
class VRender {
public:
    // sync_to_clock false lets a file source run as fast as the graph allows.
    VRender(IFrameSinkOwner& owner, bool sync_to_clock);
    ~VRender();
    VRender(const VRender&) = delete;
    VRender& operator=(const VRender&) = delete;

    // The appsink element; empty when it could not be created.
    GstElement* Element() const { return sink_.get(); }
    // Frames dropped because their buffer did not hold a whole frame.
    uint64_t DroppedFrameCount() const { return dropped_frames_; }

    // Hands one sample on; public so that the sink's checks can be exercised directly.
    void DoRenderSample(GstSample* sample);

private:
    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer user_data);

    IFrameSinkOwner& owner_;
    GstObjectPtr<GstElement> sink_;
    // Streaming thread only.
    GstCapsPtr last_caps_;
    size_t frame_size_bytes_ = 0;
    uint64_t dropped_frames_ = 0;
};
