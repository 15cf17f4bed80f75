#include "capture/camera_controls.h"

#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace {

// The element that produces the picture: the camera itself, or the first source inside a bin.
GstObjectPtr<GstElement> SourceElementOf(GstElement* camera) {
    if (!GST_IS_BIN(camera)) return ShareObject(camera);
    GstIteratorPtr sources(gst_bin_iterate_sources(GST_BIN(camera)));
    GValue item = G_VALUE_INIT;
    GstObjectPtr<GstElement> found;
    if (sources && gst_iterator_next(sources.get(), &item) == GST_ITERATOR_OK) {
        found = ShareObject(GST_ELEMENT(g_value_get_object(&item)));
        g_value_unset(&item);
    }
    return found ? std::move(found) : ShareObject(camera);
}

GstObjectPtr<GstElement> ColourBalanceOf(GstElement* camera) {
    if (GST_IS_COLOR_BALANCE(camera)) return ShareObject(camera);
    if (!GST_IS_BIN(camera)) return {};
    return GstObjectPtr<GstElement>(gst_bin_get_by_interface(GST_BIN(camera), GST_TYPE_COLOR_BALANCE));
}

std::string FactoryName(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);  // not a new reference
    return factory != nullptr ? GST_OBJECT_NAME(factory) : "";
}

// ioctl, again when a signal interrupts it.
int RetryIoctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::string DeviceError(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

}  // namespace

CCameraControls::CCameraControls(GstElement* camera) {
    if (camera == nullptr) return;
    GstObjectPtr<GstElement> source = SourceElementOf(camera);
    const std::string factory = FactoryName(source.get());
    is_test_picture_ = factory == "videotestsrc";
    if (factory == "v4l2src") {
        gint fd = -1;
        g_object_get(source.get(), "device-fd", &fd, nullptr);
        device_source_ = std::move(source);
        if (fd >= 0) {
            device_fd_ = fd;
            ListDeviceControls(fd);
            if (!controls_.empty() || !list_error_.empty()) return;
        }
    }
    ListBalanceChannels(camera);
}

void CCameraControls::ListDeviceControls(int fd) {
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (RetryIoctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
        const uint32_t id = query.id;
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        if (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)) continue;
        CameraControl control;
        control.label.assign(reinterpret_cast<const char*>(query.name),
                             strnlen(reinterpret_cast<const char*>(query.name), sizeof query.name));
        control.minimum = query.minimum;
        control.maximum = query.maximum;
        control.step = query.step > 0 ? query.step : 1;
        control.default_value = query.default_value;
        switch (query.type) {
            case V4L2_CTRL_TYPE_INTEGER: control.kind = CameraControlKind::kInteger; break;
            case V4L2_CTRL_TYPE_BOOLEAN: control.kind = CameraControlKind::kBoolean; break;
            case V4L2_CTRL_TYPE_MENU:
            case V4L2_CTRL_TYPE_INTEGER_MENU: {
                control.kind = CameraControlKind::kMenu;
                for (int32_t index = query.minimum; index <= query.maximum; ++index) {
                    v4l2_querymenu item{};
                    item.id = id;
                    item.index = static_cast<uint32_t>(index);
                    // Drivers leave gaps in their menus: those indexes are refused.
                    if (RetryIoctl(fd, VIDIOC_QUERYMENU, &item) != 0) continue;
                    control.menu.emplace_back(index, query.type == V4L2_CTRL_TYPE_MENU
                                                         ? std::string(reinterpret_cast<const char*>(item.name))
                                                         : std::to_string(item.value));
                }
                break;
            }
            default: continue;  // buttons, class headings, 64-bit and text controls
        }
        controls_.push_back(std::move(control));
        control_ids_.push_back(id);
    }
    // The end of the list reads as EINVAL; anything else is the device's failure.
    if (errno != EINVAL) list_error_ = DeviceError("VIDIOC_QUERYCTRL");
}

void CCameraControls::ListBalanceChannels(GstElement* camera) {
    balance_ = ColourBalanceOf(camera);
    if (!balance_) return;
    for (const GList* item = gst_color_balance_list_channels(GST_COLOR_BALANCE(balance_.get())); item;
         item = item->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        CameraControl control;
        control.label = channel->label != nullptr ? channel->label : "";
        control.minimum = channel->min_value;
        control.maximum = channel->max_value;
        control.default_value = channel->min_value + (channel->max_value - channel->min_value) / 2;
        controls_.push_back(std::move(control));
        channels_.push_back(channel);
    }
}

std::optional<int32_t> CCameraControls::Value(size_t index, std::string& error) const {
    if (index >= controls_.size()) return std::nullopt;
    if (index < control_ids_.size()) {
        v4l2_control control{};
        control.id = control_ids_[index];
        if (RetryIoctl(device_fd_, VIDIOC_G_CTRL, &control) != 0) {
            error = DeviceError("VIDIOC_G_CTRL");
            return std::nullopt;
        }
        return control.value;
    }
    return gst_color_balance_get_value(GST_COLOR_BALANCE(balance_.get()), channels_[index]);
}

bool CCameraControls::SetValue(size_t index, int32_t value, std::string& error) {
    if (index >= controls_.size()) return false;
    if (index < control_ids_.size()) {
        v4l2_control control{};
        control.id = control_ids_[index];
        control.value = value;
        if (RetryIoctl(device_fd_, VIDIOC_S_CTRL, &control) != 0) {
            error = DeviceError("VIDIOC_S_CTRL");
            return false;
        }
        return true;
    }
    gst_color_balance_set_value(GST_COLOR_BALANCE(balance_.get()), channels_[index], value);
    return true;
}
