#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_messages.h"
#include "capture/network_camera.h"
#include "picture/camera_frame.h"

typedef struct _GstElement GstElement;

// Receives every camera frame on the streaming thread: the camera view's ProcessFrame.
class IFrameReceiver {
public:
    virtual ~IFrameReceiver() = default;
    // One frame in the camera's own format, top row first; valid during the call.
    virtual void ProcessFrame(const CameraFrame& frame) = 0;
    // A buffer the camera handed over that holds no frame to process; cause is the same for
    // every buffer one fault hits. Counted as a frame lost, never dropped silently.
    virtual void FrameUnusable(const std::string& cause) = 0;
};

// One format a camera offers: size and frame rate.
struct CameraFormat {
    int32_t width = 0;
    int32_t height = 0;
    int32_t rate_numerator = 0;  // frames per second = numerator / denominator; 0 = variable
    int32_t rate_denominator = 1;
    std::string media_type;  // e.g. "video/x-raw, format=YUY2" or "image/jpeg"
};

// The camera's own property pages: modal dialogs supplied by the program (Qt) or by tests.
class ICameraPropertyPages {
public:
    virtual ~ICameraPropertyPages() = default;
    // "Camera Pin...": pick one of the formats; nothing when cancelled.
    virtual std::optional<CameraFormat> ChooseFormat(const std::vector<CameraFormat>& formats,
                                                     const CameraFormat& current) = 0;
    // "Camera Filter...": edit the source element's controls while it runs.
    virtual void EditControls(GstElement* source) = 0;
};

// How a running source ended; reported on the user-interface thread once frames have stopped.
struct StreamEnd {
    bool is_error = false;  // false: the source reached its end
    std::string message;    // the library's message (errors)
    std::string debug;      // the library's debug string (errors)
    bool is_live = true;    // a camera, as opposed to a file read as fast as it goes
};

// PUBLIC INTERFACE CONTRACT shared with the camera view and the command-line recorder.
// The capture implementation may add members but keeps these signatures.
class CWebCameraDlg {
public:
    explicit CWebCameraDlg(ICaptureMessages& messages);
    virtual ~CWebCameraDlg();  // stops frames first, then tears the graph down
    CWebCameraDlg(const CWebCameraDlg&) = delete;
    CWebCameraDlg& operator=(const CWebCameraDlg&) = delete;

    void SetFrameReceiver(IFrameReceiver* view);
    void SetPropertyPages(ICameraPropertyPages* pages);

    // Builds the capture graph for the named camera and sets it running; every failure is
    // reported through the message interface once. True when the graph is on its way: what
    // fails after that (on the streaming thread) ends the stream and is reported then.
    // The three settings are read and later overwritten. A repeated Init starts afresh.
    bool Init(std::string camera_name, std::atomic<int32_t>* width, std::atomic<int32_t>* height,
              std::atomic<int64_t>* frame_duration_100ns);
    // Stops frames and tears the graph down; Init may start it again.
    void Stop();
    void ShowPinProperties();
    void ShowFilterProperties();
    bool IsRunning() const;

    // --- additions for the command-line recorder and tests ---
    // Cameras looked up after the real devices and CINDRAL_TEST_CAMERAS: name and
    // gst-launch description. Call before Init.
    void AddCamera(std::string name, std::string description);
    // A camera reached by its address, looked up like the cameras above. Call before Init.
    void AddNetworkCamera(std::string name, NetworkCamera camera);
    // true (default): frames are rendered against the clock like a display; false: a file
    // source runs as fast as the graph allows and no frame is dropped. Call before Init.
    void SetClockSync(bool is_synced);
    // Called on the thread that created this object (the user-interface thread, through its
    // Qt event loop) when the running source ends or fails; frames have stopped by then.
    void SetStreamEndHandler(std::function<void(const StreamEnd&)> on_stream_end);
    // The running source is live (a camera) rather than a file.
    bool IsLive() const;
    // The negotiated time between frames in milliseconds; 0 when unknown or variable.
    double FrameIntervalMs() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
