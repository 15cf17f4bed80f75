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

typedef struct _GstElement GstElement;

// Receives every camera frame on the streaming thread: the camera view's ProcessFrame.
class IFrameReceiver {
public:
    virtual ~IFrameReceiver() = default;
    // width x height x 4 bytes (blue, green, red, unused), bottom row first; valid during the call.
    virtual void ProcessFrame(const uint8_t* pixels, size_t size_bytes) = 0;
};

// One format a camera offers: size and frame rate.
struct CameraFormat {
    int32_t width = 0;
    int32_t height = 0;
    int32_t rate_numerator = 0;    // frames per second = numerator / denominator; 0 = variable
    int32_t rate_denominator = 1;
    std::string media_type;        // e.g. "video/x-raw, format=YUY2" or "image/jpeg"
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

    // Builds and runs the capture graph for the named camera; every failure is reported
    // through the message interface once. The three settings are read and later overwritten.
    bool Init(std::string camera_name, std::atomic<int32_t>* width, std::atomic<int32_t>* height,
              std::atomic<int64_t>* frame_duration_100ns);
    void ShowPinProperties();
    void ShowFilterProperties();
    bool IsRunning() const;

    // --- additions for the command-line recorder and tests ---
    // Cameras looked up after the real devices and CINDRAL_TEST_CAMERAS: name and
    // gst-launch description. Call before Init.
    void AddCamera(std::string name, std::string description);
    // true (default): frames are rendered against the clock like a display; false: a file
    // source runs as fast as the graph allows and no frame is dropped. Call before Init.
    void SetClockSync(bool is_synced);
    // Called on the thread that created this object (the user-interface thread, through its
    // Qt event loop) when the running source ends or fails; frames have stopped by then.
    void SetStreamEndHandler(std::function<void()> on_stream_end);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
