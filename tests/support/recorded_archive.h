#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include "picture/packed_picture.h"
#include "recorder/frame_archive.h"

// Records frame_count pictures, picture(frame_index) each, as the recorder writes them: one
// finished archive in storage_folder, whose path it returns; with no frames, an archive that
// holds none. prepare, when given, sets the recorder up first (a test clock). Throws when the
// recorder refuses a frame.
inline std::string RecordArchive(const std::string& storage_folder, int frame_count,
                                 const std::function<const BMP_File&(int)>& picture,
                                 const std::function<void(CFrameArchive&)>& prepare = {}) {
    CFrameArchive recorder(storage_folder);
    if (prepare) prepare(recorder);
    std::string path;
    recorder.SetFileCreatedCallback([&path](const std::string& created) { path = created; });
    if (frame_count == 0 && !recorder.StartNewFile())
        throw std::runtime_error("no archive started: " + recorder.GetLastError());
    for (int i = 0; i < frame_count; ++i) {
        if (!recorder.WriteFrame(picture(i)))
            throw std::runtime_error("frame " + std::to_string(i) + " not recorded: " + recorder.GetLastError());
    }
    recorder.CloseFile();
    return path;
}
