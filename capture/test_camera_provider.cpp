#include "capture/test_camera_provider.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(test_camera_debug);
#define GST_CAT_DEFAULT test_camera_debug

namespace {

constexpr char kProviderName[] = "cindraltestcameras";
constexpr char kOrderField[] = "cindral.test-camera.order";

struct TestCameraDevice {
    GstDevice parent;
    gchar* description;
};
struct TestCameraDeviceClass {
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(TestCameraDevice, test_camera_device, GST_TYPE_DEVICE)

GstElement* CreateTestCameraElement(GstDevice* device, const gchar* name) {
    auto* camera = reinterpret_cast<TestCameraDevice*>(device);
    GError* raw_error = nullptr;
    GstObjectPtr<GstElement> element =
        AdoptFloating(gst_parse_bin_from_description(camera->description, TRUE, &raw_error));
    GErrorPtr error(raw_error);
    if (error) {
        GST_WARNING_OBJECT(device, "cannot make \"%s\": %s", camera->description, error->message);
        return nullptr;
    }
    if (element && name) gst_object_set_name(GST_OBJECT(element.get()), name);
    return element.release();
}

void FinalizeTestCameraDevice(GObject* object) {
    g_free(reinterpret_cast<TestCameraDevice*>(object)->description);
    G_OBJECT_CLASS(test_camera_device_parent_class)->finalize(object);
}

void test_camera_device_class_init(TestCameraDeviceClass* klass) {
    GST_DEVICE_CLASS(klass)->create_element = CreateTestCameraElement;
    G_OBJECT_CLASS(klass)->finalize = FinalizeTestCameraDevice;
}

void test_camera_device_init(TestCameraDevice*) {}

// The cameras on offer now: those of the variable that were not pulled out, then those plugged in.
struct TestCameraRegistry {
    std::mutex mutex;
    std::vector<TestCameraSpec> plugged;
    std::set<std::string> unplugged;
    uint64_t next_order = 0;
};

TestCameraRegistry& Registry() {
    static TestCameraRegistry registry;
    return registry;
}

GstDevice* NewTestCameraDevice(const TestCameraSpec& camera, uint64_t order) {
    GstCapsPtr caps(gst_caps_new_any());
    GstStructure* properties = gst_structure_new("cindral-test-camera", kOrderField, G_TYPE_UINT64, order, nullptr);
    auto* device = static_cast<GstDevice*>(g_object_new(test_camera_device_get_type(), "display-name",
                                                        camera.name.c_str(), "device-class", "Video/Source", "caps",
                                                        caps.get(), "properties", properties, nullptr));
    gst_structure_free(properties);
    reinterpret_cast<TestCameraDevice*>(device)->description = g_strdup(camera.description.c_str());
    return device;  // floating, as providers hand devices on
}

// New (floating) devices for every camera on offer.
GList* ProbeTestCameras(GstDeviceProvider*) {
    TestCameraRegistry& registry = Registry();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    GList* devices = nullptr;
    for (const TestCameraSpec& camera : TestCamerasFromEnvironment()) {
        if (registry.unplugged.count(camera.name) == 0) {
            devices = g_list_append(devices, NewTestCameraDevice(camera, registry.next_order++));
        }
    }
    for (const TestCameraSpec& camera : registry.plugged) {
        devices = g_list_append(devices, NewTestCameraDevice(camera, registry.next_order++));
    }
    return devices;
}

gboolean StartTestCameras(GstDeviceProvider* provider) {
    GList* devices = ProbeTestCameras(provider);
    for (GList* item = devices; item; item = item->next)
        gst_device_provider_device_add(provider, GST_DEVICE(item->data));
    g_list_free(devices);
    GST_DEBUG_OBJECT(provider, "started");
    return TRUE;
}

struct TestCameraProvider {
    GstDeviceProvider parent;
};
struct TestCameraProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(TestCameraProvider, test_camera_provider, GST_TYPE_DEVICE_PROVIDER)

void test_camera_provider_class_init(TestCameraProviderClass* klass) {
    GstDeviceProviderClass* provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
    provider_class->probe = ProbeTestCameras;
    provider_class->start = StartTestCameras;
    gst_device_provider_class_set_static_metadata(provider_class, "Cindral test cameras", "Video/Source",
                                                  "Virtual cameras named in CINDRAL_TEST_CAMERAS", "Cindral");
}

void test_camera_provider_init(TestCameraProvider*) {}

// The running provider, when a device monitor has started it.
GstObjectPtr<GstDeviceProvider> StartedProvider() {
    if (!RegisterTestCameraProvider()) return {};
    GstObjectPtr<GstDeviceProvider> provider(gst_device_provider_factory_get_by_name(kProviderName));
    if (!provider || !gst_device_provider_is_started(provider.get())) return {};
    return provider;
}

void RemoveStartedDevices(const std::string& name) {
    GstObjectPtr<GstDeviceProvider> provider = StartedProvider();
    if (!provider) return;
    GList* devices = gst_device_provider_get_devices(provider.get());
    for (GList* item = devices; item; item = item->next) {
        GstDevice* device = GST_DEVICE(item->data);
        GCharPtr device_name(gst_device_get_display_name(device));
        if (GetTestCameraDescription(device, nullptr) && device_name && name == device_name.get()) {
            gst_device_provider_device_remove(provider.get(), device);
        }
    }
    g_list_free_full(devices, gst_object_unref);
}

}  // namespace

bool RegisterTestCameraProvider() {
    static std::once_flag once;
    static bool is_registered = false;
    std::call_once(once, [] {
        GST_DEBUG_CATEGORY_INIT(test_camera_debug, kProviderName, 0, "Cindral's virtual test cameras");
        is_registered =
            gst_device_provider_register(nullptr, kProviderName, GST_RANK_MARGINAL, test_camera_provider_get_type());
        if (!is_registered) GST_WARNING("the test camera provider could not be registered");
    });
    return is_registered;
}

bool GetTestCameraDescription(GstDevice* device, std::string* description) {
    if (!device || !G_TYPE_CHECK_INSTANCE_TYPE(device, test_camera_device_get_type())) return false;
    if (description) *description = reinterpret_cast<TestCameraDevice*>(device)->description;
    return true;
}

uint64_t TestCameraOrder(GstDevice* device) {
    uint64_t order = 0;
    GstStructure* properties = gst_device_get_properties(device);
    if (properties) {
        gst_structure_get_uint64(properties, kOrderField, &order);
        gst_structure_free(properties);
    }
    return order;
}

void PlugTestCamera(const TestCameraSpec& camera) {
    TestCameraRegistry& registry = Registry();
    uint64_t order = 0;
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.plugged.push_back(camera);
        order = registry.next_order++;
    }
    if (GstObjectPtr<GstDeviceProvider> provider = StartedProvider()) {
        GST_DEBUG_OBJECT(provider.get(), "plugged in: %s", camera.name.c_str());
        gst_device_provider_device_add(provider.get(), NewTestCameraDevice(camera, order));
    } else {
        GST_DEBUG("plugged in while no device monitor runs: %s", camera.name.c_str());
    }
}

void UnplugTestCamera(const std::string& name) {
    TestCameraRegistry& registry = Registry();
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        auto& plugged = registry.plugged;
        plugged.erase(std::remove_if(plugged.begin(), plugged.end(),
                                     [&](const TestCameraSpec& camera) { return camera.name == name; }),
                      plugged.end());
        registry.unplugged.insert(name);
    }
    RemoveStartedDevices(name);
}

void ResetTestCameras() {
    TestCameraRegistry& registry = Registry();
    std::vector<std::string> names;
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        for (const TestCameraSpec& camera : registry.plugged) names.push_back(camera.name);
        registry.plugged.clear();
        registry.unplugged.clear();
    }
    for (const std::string& name : names) RemoveStartedDevices(name);
}
