#include "capture/device_watcher.h"

#include <algorithm>

#include "capture/capture_log.h"
#include "capture/gst_bus_watch.h"
#include "capture/test_camera_provider.h"
#include "capture/video_devices.h"

CVideoDeviceWatcher::CVideoDeviceWatcher(QObject* parent) : QObject(parent) {}

CVideoDeviceWatcher::~CVideoDeviceWatcher() {
    if (bus_watch_) bus_watch_->Detach();
    if (monitor_ && is_started_) gst_device_monitor_stop(monitor_.get());
}

bool CVideoDeviceWatcher::Start() {
    if (is_started_) return true;
    GError* raw_error = nullptr;
    if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, &raw_error)) {
        GErrorPtr error(raw_error);
        qCWarning(lcCapture) << "GStreamer cannot start, so cameras cannot be followed:"
                             << (error ? error->message : "unknown error");
        return false;
    }
    RegisterTestCameraProvider();
    monitor_.reset(gst_device_monitor_new());
    if (!monitor_) {
        qCWarning(lcCapture) << "no device monitor: cameras plugged in later are not seen";
        return false;
    }
    gst_device_monitor_add_filter(monitor_.get(), "Video/Source", nullptr);
    GstObjectPtr<GstBus> bus(gst_device_monitor_get_bus(monitor_.get()));
    bus_watch_ = new CGstBusWatch(
        bus.get(), [this](GstMessage* message) { OnBusMessage(message); }, this);
    is_started_ = gst_device_monitor_start(monitor_.get());
    if (!is_started_) {
        qCWarning(lcCapture) << "the device monitor did not start: cameras plugged in later are not seen";
        return false;
    }
    // The additions of the start itself are in the list that follows.
    while (GstMessagePtr message{gst_bus_pop(bus.get())}) {}
    Relist();
    qCDebug(lcCapture) << "watching" << names_.size() << "video input(s)";
    return true;
}

bool CVideoDeviceWatcher::HasCamera(const std::string& name) const {
    return std::find(names_.begin(), names_.end(), name) != names_.end();
}

void CVideoDeviceWatcher::Relist() {
    GList* devices = gst_device_monitor_get_devices(monitor_.get());
    names_.clear();
    for (const CVideoDevice& device : OrderVideoDevices(devices)) names_.push_back(device.Name());
    g_list_free_full(devices, gst_object_unref);
}

void CVideoDeviceWatcher::OnBusMessage(GstMessage* message) {
    const bool is_added = GST_MESSAGE_TYPE(message) == GST_MESSAGE_DEVICE_ADDED;
    if (!is_added && GST_MESSAGE_TYPE(message) != GST_MESSAGE_DEVICE_REMOVED) return;
    GstDevice* raw_device = nullptr;
    if (is_added) {
        gst_message_parse_device_added(message, &raw_device);
    } else {
        gst_message_parse_device_removed(message, &raw_device);
    }
    GstObjectPtr<GstDevice> device(raw_device);
    GCharPtr name(device ? gst_device_get_display_name(device.get()) : nullptr);
    const QString camera = QString::fromUtf8(name ? name.get() : "");
    Relist();
    qCInfo(lcCapture) << "camera" << (is_added ? "plugged in:" : "pulled out:") << camera;
    if (is_added) {
        emit CameraAdded(camera);
    } else {
        emit CameraRemoved(camera);
    }
    emit CamerasChanged();
}
