#pragma once

#include <optional>
#include <string>

#include "detection/motion_events.h"

// Ignored areas as pictures. Ours are PNGs of one pixel per 4x4 block, white where ignored; any
// picture is read the same way: a pixel that is not black ignores what it covers once scaled.

// The mask of the picture at path, one cell per pixel; nothing, with *error set, when it cannot be read.
std::optional<BlockMask> ReadIgnoredAreas(const std::string& path, std::string* error);
// Writes the mask as a PNG (atomically); false, with *error set, when it cannot be written.
bool WriteIgnoredAreas(const std::string& path, const BlockMask& mask, std::string* error);
// Where a camera's ignored areas are kept, in folder (ending with '/'): a name made of the
// camera's name with anything but letters, digits, '-' and '_' replaced, and a hash of the name.
std::string IgnoredAreasPath(const std::string& folder, const std::string& camera);
