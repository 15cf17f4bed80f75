#pragma once

#include "picture/packed_picture.h"

// What the playback panel needs of the camera view.
class IPlaybackView {
public:
    virtual ~IPlaybackView() = default;
    // Shows an archive frame instead of the live picture (user-interface thread); record_time is
    // the frame's own time as an OLE date, as the archive gives it.
    virtual void ShowPlaybackFrame(const BMP_File& frame, double record_time) = 0;
};
