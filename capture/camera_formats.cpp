#include "capture/camera_formats.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

namespace {

struct Size {
    int32_t width;
    int32_t height;
};
constexpr Size kUsualSizes[] = {{160, 120},  {320, 240},  {352, 288},   {640, 480},  {800, 600},
                                {1024, 768}, {1280, 720}, {1280, 1024}, {1920, 1080}};
constexpr int32_t kUsualRates[] = {5, 10, 15, 20, 25, 30};

bool IntFits(const GValue* value, int32_t wanted) {
    if (!value) return false;
    if (G_VALUE_HOLDS_INT(value)) return g_value_get_int(value) == wanted;
    if (GST_VALUE_HOLDS_INT_RANGE(value)) {
        return wanted >= gst_value_get_int_range_min(value) && wanted <= gst_value_get_int_range_max(value);
    }
    if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
            if (IntFits(gst_value_list_get_value(value, i), wanted)) return true;
        }
    }
    return false;
}

std::vector<Size> SizesOf(const GstStructure* structure) {
    const GValue* width = gst_structure_get_value(structure, "width");
    const GValue* height = gst_structure_get_value(structure, "height");
    if (!width || !height) return {};
    if (G_VALUE_HOLDS_INT(width) && G_VALUE_HOLDS_INT(height)) {
        return {{g_value_get_int(width), g_value_get_int(height)}};
    }
    std::vector<Size> sizes;
    for (Size size : kUsualSizes) {
        if (IntFits(width, size.width) && IntFits(height, size.height)) sizes.push_back(size);
    }
    return sizes;
}

void CollectRates(const GValue* value, std::vector<std::pair<int32_t, int32_t>>& rates) {
    if (GST_VALUE_HOLDS_FRACTION(value)) {
        rates.emplace_back(gst_value_get_fraction_numerator(value), gst_value_get_fraction_denominator(value));
    } else if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
            CollectRates(gst_value_list_get_value(value, i), rates);
        }
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
        const GValue* low = gst_value_get_fraction_range_min(value);
        const GValue* high = gst_value_get_fraction_range_max(value);
        const double min =
            static_cast<double>(gst_value_get_fraction_numerator(low)) / gst_value_get_fraction_denominator(low);
        const double max =
            static_cast<double>(gst_value_get_fraction_numerator(high)) / gst_value_get_fraction_denominator(high);
        for (int32_t rate : kUsualRates) {
            if (rate >= min && rate <= max) rates.emplace_back(rate, 1);
        }
    }
}

std::string MediaTypeOf(const GstStructure* structure) {
    std::string media_type = gst_structure_get_name(structure);
    if (const gchar* format = gst_structure_get_string(structure, "format")) {
        media_type += ", format=";
        media_type += format;
    }
    return media_type;
}

bool SameFormat(const CameraFormat& a, const CameraFormat& b) {
    return a.width == b.width && a.height == b.height && a.media_type == b.media_type &&
           static_cast<int64_t>(a.rate_numerator) * b.rate_denominator ==
               static_cast<int64_t>(b.rate_numerator) * a.rate_denominator;
}

// The offered rate of one media type and size nearest to fps, within 1 %.
std::optional<std::pair<int32_t, int32_t>> MatchRate(const GstCaps* offered, const char* media, int32_t width,
                                                     int32_t height, double fps) {
    std::optional<std::pair<int32_t, int32_t>> best;
    double best_error = 0.01 * fps;
    for (guint i = 0; i < gst_caps_get_size(offered); ++i) {
        const GstStructure* structure = gst_caps_get_structure(offered, i);
        if (!gst_structure_has_name(structure, media)) continue;
        if (width > 0 && !IntFits(gst_structure_get_value(structure, "width"), width)) continue;
        if (height > 0 && !IntFits(gst_structure_get_value(structure, "height"), height)) continue;
        const GValue* rate = gst_structure_get_value(structure, "framerate");
        if (!rate) continue;
        if (GST_VALUE_HOLDS_FRACTION_RANGE(rate)) {
            int numerator = 0;
            int denominator = 1;
            gst_util_double_to_fraction(fps, &numerator, &denominator);
            GValue exact = G_VALUE_INIT;
            g_value_init(&exact, GST_TYPE_FRACTION);
            gst_value_set_fraction(&exact, numerator, denominator);
            const bool inside = gst_value_can_intersect(&exact, rate);
            g_value_unset(&exact);
            if (inside) return std::make_pair(static_cast<int32_t>(numerator), static_cast<int32_t>(denominator));
            continue;
        }
        std::vector<std::pair<int32_t, int32_t>> rates;
        CollectRates(rate, rates);
        for (const auto& candidate : rates) {
            if (candidate.second == 0) continue;
            const double error = std::fabs(static_cast<double>(candidate.first) / candidate.second - fps);
            if (error <= best_error) {
                best_error = error;
                best = candidate;
            }
        }
    }
    return best;
}

}  // namespace

std::vector<CameraFormat> FormatsFromCaps(const GstCaps* caps) {
    std::vector<CameraFormat> formats;
    if (!caps || gst_caps_is_any(caps)) return formats;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* structure = gst_caps_get_structure(caps, i);
        const std::string media_type = MediaTypeOf(structure);
        std::vector<std::pair<int32_t, int32_t>> rates;
        if (const GValue* rate = gst_structure_get_value(structure, "framerate")) CollectRates(rate, rates);
        if (rates.empty()) rates.emplace_back(0, 1);
        for (Size size : SizesOf(structure)) {
            for (const auto& rate : rates) {
                CameraFormat format{size.width, size.height, rate.first, rate.second, media_type};
                bool seen = false;
                for (const CameraFormat& known : formats) seen = seen || SameFormat(known, format);
                if (!seen) formats.push_back(format);
            }
        }
    }
    return formats;
}

CameraFormat FormatFromCaps(const GstCaps* caps) {
    CameraFormat format;
    if (!caps || gst_caps_get_size(caps) == 0 || gst_caps_is_any(caps)) return format;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    format.media_type = MediaTypeOf(structure);
    int value = 0;
    if (gst_structure_get_int(structure, "width", &value)) format.width = value;
    if (gst_structure_get_int(structure, "height", &value)) format.height = value;
    int numerator = 0;
    int denominator = 1;
    if (gst_structure_get_fraction(structure, "framerate", &numerator, &denominator) && denominator != 0) {
        format.rate_numerator = numerator;
        format.rate_denominator = denominator;
    }
    return format;
}

GstCapsPtr CapsFromFormat(const CameraFormat& format) {
    GstCapsPtr caps(gst_caps_from_string(format.media_type.empty() ? "video/x-raw" : format.media_type.c_str()));
    if (!caps || gst_caps_get_size(caps.get()) != 1) return {};
    GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
    if (format.width > 0) gst_structure_set(structure, "width", G_TYPE_INT, format.width, nullptr);
    if (format.height > 0) gst_structure_set(structure, "height", G_TYPE_INT, format.height, nullptr);
    if (format.rate_numerator > 0 && format.rate_denominator > 0) {
        gst_structure_set(structure, "framerate", GST_TYPE_FRACTION, format.rate_numerator, format.rate_denominator,
                          nullptr);
    }
    return caps;
}

int64_t FrameDurationFromRate(int32_t numerator, int32_t denominator) {
    if (numerator <= 0 || denominator <= 0) return 0;
    return (static_cast<int64_t>(denominator) * 10'000'000 + numerator / 2) / numerator;
}

namespace {

// With no rate chosen: the mode of that size with the highest frame rate, uncompressed output
// first among equals. A structure without a rate counts as the slowest.
GstCapsPtr FastestModeOfSize(const GstCaps* offered, int32_t width, int32_t height) {
    const char* best_media = nullptr;
    std::pair<int32_t, int32_t> best_rate{0, 1};
    double best_fps = -1;
    for (const char* media : {"video/x-raw", "image/jpeg"}) {
        for (guint i = 0; i < gst_caps_get_size(offered); ++i) {
            const GstStructure* structure = gst_caps_get_structure(offered, i);
            if (!gst_structure_has_name(structure, media)) continue;
            if (!IntFits(gst_structure_get_value(structure, "width"), width) ||
                !IntFits(gst_structure_get_value(structure, "height"), height)) {
                continue;
            }
            std::vector<std::pair<int32_t, int32_t>> rates;
            if (const GValue* rate = gst_structure_get_value(structure, "framerate")) CollectRates(rate, rates);
            if (rates.empty()) rates.emplace_back(0, 1);
            for (const auto& rate : rates) {
                const double fps = rate.second > 0 ? static_cast<double>(rate.first) / rate.second : 0;
                if (fps > best_fps) {
                    best_fps = fps;
                    best_media = media;
                    best_rate = rate;
                }
            }
        }
    }
    if (!best_media) return {};
    GstCapsPtr request(
        gst_caps_new_simple(best_media, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, nullptr));
    if (best_rate.first > 0 && best_rate.second > 0) {
        gst_structure_set(gst_caps_get_structure(request.get(), 0), "framerate", GST_TYPE_FRACTION, best_rate.first,
                          best_rate.second, nullptr);
    }
    return request;
}

}  // namespace

GstCapsPtr RequestedCaps(const GstCaps* offered, int32_t width, int32_t height, int64_t frame_duration_100ns) {
    const bool wants_size = width > 0 && height > 0;
    const bool wants_rate = frame_duration_100ns > 0;
    if (!offered || (!wants_size && !wants_rate)) return {};
    if (!wants_rate) return FastestModeOfSize(offered, width, height);
    const double fps = 1e7 / static_cast<double>(frame_duration_100ns);
    // Uncompressed output first among modes of the chosen rate.
    for (const char* media : {"video/x-raw", "image/jpeg"}) {
        GstCapsPtr request(gst_caps_new_empty_simple(media));
        GstStructure* structure = gst_caps_get_structure(request.get(), 0);
        if (wants_size) gst_structure_set(structure, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, nullptr);
        const auto rate = MatchRate(offered, media, wants_size ? width : 0, wants_size ? height : 0, fps);
        if (!rate) continue;
        gst_structure_set(structure, "framerate", GST_TYPE_FRACTION, rate->first, rate->second, nullptr);
        if (gst_caps_can_intersect(request.get(), offered)) return request;
    }
    return {};
}
