#pragma once

#include <gst/gst.h>
#include <gst/video/colorbalance.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "glib/gst_handles.h"

enum class CameraControlKind { kInteger, kBoolean, kMenu };

// One control of a camera, as the device reports it.
struct CameraControl {
    std::string label;
    CameraControlKind kind = CameraControlKind::kInteger;
    int32_t minimum = 0;
    int32_t maximum = 0;
    int32_t step = 1;
    int32_t default_value = 0;
    std::vector<std::pair<int32_t, std::string>> menu;  // kMenu: each value with its name
};

// The controls of a running camera, never the graph's own properties: for a V4L2 device those
// the driver reports (ranges and defaults from the driver), else the channels of a colour
// balance in the camera's bin, whose default is the middle of the range.
class CCameraControls {
public:
    // camera: the camera element of the graph (an element or a bin around one); may be null.
    explicit CCameraControls(GstElement* camera);

    const std::vector<CameraControl>& Controls() const { return controls_; }
    // Why a device's controls could not be read; empty when they were or there is no device.
    const std::string& ListError() const { return list_error_; }
    // Whether the camera is one of GStreamer's test pictures, which has nothing to adjust.
    bool IsTestPicture() const { return is_test_picture_; }

    // Nothing, with error set, when the device refuses.
    std::optional<int32_t> Value(size_t index, std::string& error) const;
    bool SetValue(size_t index, int32_t value, std::string& error);

private:
    void ListDeviceControls(int fd);
    void ListBalanceChannels(GstElement* camera);

    std::vector<CameraControl> controls_;
    std::string list_error_;
    bool is_test_picture_ = false;
    // A V4L2 source keeps its device open while it runs; its descriptor is the source's, not ours.
    GstObjectPtr<GstElement> device_source_;
    int device_fd_ = -1;
    std::vector<uint32_t> control_ids_;
    GstObjectPtr<GstElement> balance_;
    std::vector<GstColorBalanceChannel*> channels_;  // owned by balance_
};
