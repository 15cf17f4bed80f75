#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <gst/video/video-info.h>

#include "capture/kept_frames.h"
#include "glib/gst_handles.h"
#include "picture/camera_frame.h"

typedef struct _GstAppSink GstAppSink;

// What the frame sink calls, on the streaming thread: the capture object.
class IFrameSinkOwner {
public:
    virtual ~IFrameSinkOwner() = default;
    // The negotiated frame size, before the first frame of that size; the height is negative:
    // frames come top row first.
    virtual void OnFrameSize(int32_t width, int32_t height) = 0;
    // One whole frame in the camera's own format, valid during the call.
    virtual void OnFrame(const CameraFrame& frame) = 0;
    // A buffer the camera handed over that is no frame the sink can hand on; cause is the same
    // for every buffer one fault hits.
    virtual void OnFrameUnusable(const std::string& cause) = 0;
};

// The frame sink: an appsink that takes the formats cameras send (packed YUY2 and UYVY, planar
// I420 and NV12, packed BGRx and BGR, JPEG) and hands each frame, unchanged and uncopied, top
// row first, to its owner. It must outlive the streaming thread, so the graph is stopped
// before it is destroyed.
class VRender {
public:
    // sync_to_clock false lets a file source run as fast as the graph allows.
    VRender(IFrameSinkOwner& owner, bool sync_to_clock);
    ~VRender();
    VRender(const VRender&) = delete;
    VRender& operator=(const VRender&) = delete;

    // What the sink takes, the cheapest first; anything else needs a converter before it.
    static GstCapsPtr AcceptedCaps();

    // The appsink element; empty when it could not be created.
    GstElement* Element() const { return sink_.get(); }
    // Buffers that were no whole frame of a format the sink takes, each told to the owner.
    uint64_t DroppedFrameCount() const { return dropped_frames_; }

    // Hands one sample on; public so that the sink's checks can be exercised directly.
    void DoRenderSample(GstSample* sample);

private:
    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer user_data);
    // Takes the layout and size of new caps; false when the sink cannot hand such frames on.
    bool ReadCaps(GstCaps* caps);
    void RenderJpeg(GstBuffer* buffer);
    void RenderRaw(GstBuffer* buffer);
    void ReportSize(int32_t width, int32_t height);
    void Drop(const std::string& cause);

    IFrameSinkOwner& owner_;
    GstObjectPtr<GstElement> sink_;
    // Streaming thread only.
    GstCapsPtr last_caps_;
    bool is_accepted_ = false;
    GstVideoInfo info_{};
    PixelLayout layout_ = PixelLayout::kBgrx;
    YuvColour colour_ = kBt601Limited;
    int32_t reported_width_ = 0;
    int32_t reported_height_ = 0;
    uint64_t dropped_frames_ = 0;
    // Last, so that it goes first: it waits for the encoders to let go of the frames they keep.
    CKeptFrames kept_frames_;
};
