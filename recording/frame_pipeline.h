#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recording/bmp_file.h"
#include "recording/settings.h"

// Where recorded frames go: the recorder (CFrameArchive) or a test double.
class IFrameRecorder {
public:
    virtual ~IFrameRecorder() = default;
    // Appends the clean (unmarked) frame, starting a file if none is open.
    virtual bool WriteFrame(const BMP_File& frame) = 0;
    // Finishes the open file; cheap when none is open.
    virtual bool CloseFile() = 0;
};

// Where the marked live frame goes for display: the camera view or a test double.
class IFramePresenter {
public:
    virtual ~IFramePresenter() = default;
    // While playback is shown, live frames are examined and recorded but not presented.
    virtual bool IsPlaybackActive() const = 0;
    // Called on the streaming thread; must copy what it keeps and must not block on the UI thread.
    virtual void PresentLiveFrame(const BMP_File& live_frame) = 0;
};

// The per-frame pipeline: convert and flip the 32-bit camera frame, run the 4x4 block
// motion detector against the previous frame, mark moving blocks, record or finish the
// archive by saving mode, and present the marked frame.
class CFramePipeline {
public:
    // The settings always give the frame size; they are examined for detection and
    // recording only once AttachSettings(true) has been called (the view's initial update).
    CFramePipeline(const CindralSettings& settings, IFrameRecorder& recorder, IFramePresenter* presenter);

    void AttachSettings(bool is_attached) { is_settings_attached_ = is_attached; }
    // Without a capture object frames are ignored.
    void SetCaptureAttached(bool is_attached) { is_capture_attached_ = is_attached; }

    // pixels: width x height x 4 bytes (blue, green, red, unused), bottom row first;
    // a negative height setting means top-down rows of the absolute height.
    // A buffer whose size disagrees with the frame size settings is dropped.
    void ProcessFrame(const uint8_t* pixels, size_t size_bytes);

    // The marked live frame of the last processed frame.
    const BMP_File& LiveFrame() const { return frames_[live_index_]; }
    // What the next comparison is made against; after a frame that ran the detector it is
    // the same picture as LiveFrame() (marks included).
    const BMP_File& PreviousFrame() const { return frames_[previous_index_]; }

private:
    // Converts and flips the input into the live frame and fills live_block_sums_.
    void ConvertFrame(const uint8_t* pixels, int32_t width, int32_t height, bool is_top_down);
    // Compares block means with the previous frame; fills moving_blocks_, true on motion.
    bool FindMovingBlocks();
    // Marks the top-left pixel of every moving block and keeps the block sums in step.
    void MarkMovingBlocks();

    const CindralSettings& settings_;
    IFrameRecorder& recorder_;
    IFramePresenter* presenter_;
    bool is_settings_attached_ = false;
    bool is_capture_attached_ = true;

    // Two pictures: the previous frame and the one being filled. Once the detector has run,
    // the live frame simply becomes the previous one; no copy is made.
    BMP_File frames_[2];
    int live_index_ = 1;
    int previous_index_ = 0;
    // Sums of the 16 pixel lightness values of every 4x4 block, row of blocks after row of
    // blocks, for the live and the previous frame (marks included).
    std::vector<uint16_t> live_block_sums_;
    std::vector<uint16_t> previous_block_sums_;
    std::vector<uint32_t> moving_blocks_;  // block indices found moving in this frame
};
