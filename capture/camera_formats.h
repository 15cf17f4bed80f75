#pragma once

#include <optional>
#include <vector>

#include "capture/capture_graph.h"
#include "glib/gst_handles.h"

// The formats a camera offers, one entry per size and rate; ranges are offered at the
// usual sizes and rates that lie inside them. Duplicates are left out, order is kept.
std::vector<CameraFormat> FormatsFromCaps(const GstCaps* caps);
// The format of fixed (negotiated) caps; a zero-sized format when they are not video.
CameraFormat FormatFromCaps(const GstCaps* caps);
// Caps that ask the camera for exactly this format.
GstCapsPtr CapsFromFormat(const CameraFormat& format);

// Frame duration in 100 ns units of a rate; 0 for a variable rate.
int64_t FrameDurationFromRate(int32_t numerator, int32_t denominator);

// The camera format requested by the size and frame-duration settings, or empty when the
// camera does not offer it (the camera's own format then stays in force). A width or height
// of 0 or below asks for no particular size; a rate is matched to an offered one within 1 %,
// uncompressed output first. With no rate chosen (a duration of 0 or below) the camera's mode of
// that size with the highest frame rate is asked for, JPEG or not.
GstCapsPtr RequestedCaps(const GstCaps* offered, int32_t width, int32_t height, int64_t frame_duration_100ns);
