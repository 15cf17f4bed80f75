#include "capture/video_devices.h"

#include <algorithm>
#include <cstdlib>

#include "capture/source_bin.h"
#include "capture/test_camera_provider.h"

namespace {

std::string DevicePath(GstDevice* device) {
    std::string path;
    GstStructure* properties = gst_device_get_properties(device);
    if (!properties) return path;
    for (const char* key : {"device.path", "api.v4l2.path", "object.path"}) {
        if (const gchar* value = gst_structure_get_string(properties, key)) {
            path = value;
            break;
        }
    }
    gst_structure_free(properties);
    return path;
}

}  // namespace

std::vector<TestCameraSpec> ParseTestCameras(const std::string& text) {
    std::vector<TestCameraSpec> cameras;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(start, end - start);
        const size_t equals = entry.find('=');
        if (equals != std::string::npos && equals > 0 && equals + 1 < entry.size()) {
            cameras.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
        }
        start = end + 1;
    }
    return cameras;
}

std::vector<TestCameraSpec> TestCamerasFromEnvironment() {
    const char* text = std::getenv("CINDRAL_TEST_CAMERAS");
    return text ? ParseTestCameras(text) : std::vector<TestCameraSpec>{};
}

CVideoDevice CVideoDevice::FromDevice(GstDevice* device) {
    CVideoDevice result;
    GCharPtr name(gst_device_get_display_name(device));
    result.name_ = name ? name.get() : "";
    // A test camera is made from its description here, so a description that does not parse
    // is reported with the parser's own message.
    if (!GetTestCameraDescription(device, &result.description_)) result.device_ = ShareObject(device);
    return result;
}

CVideoDevice CVideoDevice::FromTestCamera(TestCameraSpec camera) {
    CVideoDevice result;
    result.name_ = std::move(camera.name);
    result.description_ = std::move(camera.description);
    result.network_ = std::move(camera.network);
    return result;
}

GstObjectPtr<GstElement> CVideoDevice::CreateElement(std::string* error) const {
    if (device_) {
        GstObjectPtr<GstElement> element = AdoptFloating(gst_device_create_element(device_.get(), nullptr));
        if (!element && error) *error = "the device gave no source element";
        return element;
    }
    std::string parse_error;
    GstObjectPtr<GstElement> element =
        network_ ? MakeNetworkSourceBin(*network_, &parse_error) : MakeSourceBin(description_, &parse_error);
    if (!element && error) *error = parse_error;
    return element;
}

GstCapsPtr CVideoDevice::GetCaps() const {
    if (!device_) return {};
    return GstCapsPtr(gst_device_get_caps(device_.get()));
}

std::vector<CVideoDevice> OrderVideoDevices(GList* devices) {
    struct Entry {
        bool is_test_camera;
        std::string path;
        uint64_t order;
        CVideoDevice device;
    };
    std::vector<Entry> entries;
    for (GList* item = devices; item; item = item->next) {
        GstDevice* device = GST_DEVICE(item->data);
        const bool is_test_camera = GetTestCameraDescription(device, nullptr);
        entries.push_back({is_test_camera, is_test_camera ? std::string() : DevicePath(device),
                           is_test_camera ? TestCameraOrder(device) : 0, CVideoDevice::FromDevice(device)});
    }
    // The monitor's own order follows hot-plug history; the device path is stable.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.is_test_camera != b.is_test_camera) return b.is_test_camera;
        if (a.is_test_camera) return a.order < b.order;
        if (a.path != b.path) return a.path < b.path;
        return a.device.Name() < b.device.Name();
    });
    std::vector<CVideoDevice> ordered;
    for (Entry& entry : entries) ordered.push_back(std::move(entry.device));
    return ordered;
}

VideoDeviceList ListVideoDevices(const std::vector<TestCameraSpec>& extra_cameras) {
    VideoDeviceList list;
    RegisterTestCameraProvider();
    // The providers are asked directly rather than through a second device monitor: a provider
    // reports to one monitor only, and the device watcher's must keep hearing of changes.
    GList* factories = gst_device_provider_factory_list_get_device_providers(GST_RANK_MARGINAL);
    std::vector<GstObjectPtr<GstDeviceProvider>> providers;
    std::vector<std::string> hidden;
    for (GList* item = factories; item; item = item->next) {
        auto* factory = GST_DEVICE_PROVIDER_FACTORY(item->data);
        if (!gst_device_provider_factory_has_classes(factory, "Video/Source")) continue;
        GstObjectPtr<GstDeviceProvider> provider(gst_device_provider_factory_get(factory));
        if (!provider) continue;
        if (gchar** names = gst_device_provider_get_hidden_providers(provider.get())) {
            for (gchar** name = names; *name; ++name) hidden.emplace_back(*name);
            g_strfreev(names);
        }
        providers.push_back(std::move(provider));
    }
    gst_plugin_feature_list_free(factories);
    list.is_monitor_created = true;
    list.is_monitor_started = !providers.empty();
    GList* found = nullptr;
    for (const GstObjectPtr<GstDeviceProvider>& provider : providers) {
        // Another provider that lists the same devices hides this one.
        const char* name = GST_OBJECT_NAME(gst_device_provider_get_factory(provider.get()));
        if (name && std::find(hidden.begin(), hidden.end(), name) != hidden.end()) continue;
        GList* devices = gst_device_provider_get_devices(provider.get());
        for (GList* item = devices; item; item = item->next) {
            if (gst_device_has_classes(GST_DEVICE(item->data), "Video/Source")) {
                found = g_list_append(found, gst_object_ref(item->data));
            }
        }
        g_list_free_full(devices, gst_object_unref);
    }
    list.devices = OrderVideoDevices(found);
    g_list_free_full(found, gst_object_unref);
    for (const TestCameraSpec& camera : extra_cameras) list.devices.push_back(CVideoDevice::FromTestCamera(camera));
    return list;
}

std::vector<std::string> EnumVideoDevices() {
    if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, nullptr)) return {};
    std::vector<std::string> names;
    for (const CVideoDevice& device : ListVideoDevices({}).devices) {
        names.push_back(device.Name());
    }
    return names;
}
