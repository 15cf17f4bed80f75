#pragma once

#include <string>

#include "glib/gst_handles.h"

// A camera described as a gst-launch description: any chain that ends in raw video or JPEG,
// ended, if wanted, by a caps string ("videotestsrc ! video/x-raw,width=1280,height=720"). Its
// end may be a pad that appears only once the stream is known (uridecodebin, decodebin, a
// demuxer): the first such pad of raw video or JPEG is linked when it appears (raw video
// through a converter), and any other is left alone. The bin has one source pad, "src".
// Empty, with *error set (the parser's own message where it has one), when the description
// cannot be made into such a bin.
GstObjectPtr<GstElement> MakeSourceBin(const std::string& description, std::string* error);

// Gives bin (holding later) its source pad "src", linked as above to the first pad of raw video
// or JPEG that later adds, through tail_caps when there are any. False with *error set.
bool LinkLaterPads(GstElement* bin, GstElement* later, GstCapsPtr tail_caps, std::string* error);

// Splits a trailing caps string from a description: "a ! b ! video/x-raw,width=8" gives
// "a ! b" and "video/x-raw,width=8"; a description without one is returned whole, with no caps.
// A caps string is told from an element by the '/' of its media type.
void SplitTrailingCaps(const std::string& description, std::string* head, std::string* caps);
