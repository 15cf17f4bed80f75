#pragma once

#include <string>

#include "capture/video_devices.h"
#include "glib/gst_handles.h"

// The virtual cameras of CINDRAL_TEST_CAMERAS, offered to the device monitor by a device
// provider of ours, so that they come and go like cameras that are plugged in and pulled out.
// The variable is read whenever the provider starts or is probed. Registered once per process
// (after GStreamer is initialised); false when the registry refuses it.
bool RegisterTestCameraProvider();

// The description of one of our test camera devices; false for any other device.
bool GetTestCameraDescription(GstDevice* device, std::string* description);
// Where one of our devices stands among the test cameras: the variable's order, then the order
// they were plugged in.
uint64_t TestCameraOrder(GstDevice* device);

// For tests: a test camera plugged in, or every test camera of that name pulled out, while
// the program runs. A running device monitor reports the change at once.
void PlugTestCamera(const TestCameraSpec& camera);
void UnplugTestCamera(const std::string& name);
// Back to exactly what CINDRAL_TEST_CAMERAS says.
void ResetTestCameras();
