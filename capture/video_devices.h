#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/network_camera.h"
#include "glib/gst_handles.h"

// A named virtual camera: "Name=gst-launch description", or a camera reached by its address
// (network set, description empty).
struct TestCameraSpec {
    std::string name;
    std::string description;
    std::optional<NetworkCamera> network = std::nullopt;
};

// Parses "Name=description;Name2=description2": split on ';', then on the first '='.
// Entries without a name or a description are skipped.
std::vector<TestCameraSpec> ParseTestCameras(const std::string& text);
// The test cameras of the CINDRAL_TEST_CAMERAS environment variable (none when unset).
std::vector<TestCameraSpec> TestCamerasFromEnvironment();

// One video input: a device of the device monitor or a test camera.
class CVideoDevice {
public:
    // Takes a reference of its own; one of our test camera devices becomes a test camera.
    static CVideoDevice FromDevice(GstDevice* device);
    static CVideoDevice FromTestCamera(TestCameraSpec camera);

    const std::string& Name() const { return name_; }
    bool IsTestCamera() const { return !device_; }
    // The camera's address and credentials when it is reached through the network, else null.
    const NetworkCamera* Network() const { return network_ ? &*network_ : nullptr; }
    // Binds the device: a new source element (full reference), or empty with *error set.
    GstObjectPtr<GstElement> CreateElement(std::string* error) const;
    // What the device can deliver; empty when it does not say (test cameras ask the element).
    GstCapsPtr GetCaps() const;

private:
    std::string name_;
    std::string description_;  // test cameras only
    std::optional<NetworkCamera> network_;
    GstObjectPtr<GstDevice> device_;  // real devices only
};

// The result of one enumeration, with the steps that may fail kept apart.
struct VideoDeviceList {
    bool is_monitor_created = false;
    bool is_monitor_started = false;
    std::vector<CVideoDevice> devices;  // real devices in a stable order, then the test cameras
};

// Enumerates the video inputs: real Video/Source devices sorted by their device path (then
// name), the test cameras of CINDRAL_TEST_CAMERAS (through the device monitor), then the given
// extra cameras in their own order.
VideoDeviceList ListVideoDevices(const std::vector<TestCameraSpec>& extra_cameras);

// The devices of a device monitor's list in the order above; the list stays the caller's.
std::vector<CVideoDevice> OrderVideoDevices(GList* devices);

// The friendly names of every video input, in the order the capture object looks them up.
// Initialises GStreamer if needed.
std::vector<std::string> EnumVideoDevices();
