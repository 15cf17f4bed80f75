#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "detection/motion_events.h"
#include "jpeg/jpeg_codec.h"
#include "picture/camera_frame.h"
#include "picture/frame_pass.h"
#include "picture/packed_picture.h"
#include "picture/view_picture.h"
#include "recorder/pre_roll.h"
#include "settings/settings.h"

// What a clean (unmarked) frame can be stored from, best first: the camera's own JPEG, the
// 4:2:0 planes of its YUV, the packed picture. Valid during the call.
struct CleanFrame {
    int32_t width = 0;
    int32_t height = 0;
    const BMP_File* picture = nullptr;  // null when nothing else needed the picture
    const JpegYuvPlanes* planes = nullptr;
    const uint8_t* camera_jpeg = nullptr;
    uint32_t camera_jpeg_size = 0;
    // A YUV camera frame its keeper can keep, for a recorder that converts it as it encodes.
    const CameraFrame* camera = nullptr;
    const YuvCoefficients* coefficients = nullptr;
    // planes lie in the room the recorder lent (LendPlanes): it takes the room back with them.
    bool is_in_lent_room = false;

    // A frame that has only its picture.
    static CleanFrame OfPicture(const BMP_File& picture) {
        CleanFrame clean;
        clean.width = picture.GetWidth();
        clean.height = picture.GetHeight();
        clean.picture = &picture;
        return clean;
    }
};

// Where recorded frames go: the recorder (CFrameArchive) or a test double.
class IFrameRecorder {
public:
    virtual ~IFrameRecorder() = default;
    // Appends the clean (unmarked) frame, starting a file if none is open.
    virtual bool WriteFrame(const BMP_File& frame) = 0;
    // Finishes the open file; cheap when none is open.
    virtual bool CloseFile() = 0;

    // The same as WriteFrame from whatever the frame offers; recorders that store only pictures
    // are handed the picture.
    virtual bool WriteCleanFrame(const CleanFrame& frame) {
        return frame.picture != nullptr && WriteFrame(*frame.picture);
    }
    // Recorders that compress from planes, or keep a camera's JPEG of this size as it is, say so:
    // the pipeline then need not make the packed picture (or decode the JPEG) for them.
    virtual bool TakesPlanes() const { return false; }
    // Recorders that keep a YUV camera frame (through its keeper) and convert it as they encode
    // say so: the pipeline then makes no planes for them.
    virtual bool TakesCameraFrames() const { return false; }
    // Frames held before an event. HoldCleanFrame encodes the frame as WriteCleanFrame would store
    // it and holds the JPEG, stamped when it came (time_ms, monotonic), in place of storing it; the
    // frames held that came before keep_from_ms are let go of. WriteHeldFrames stores the frames
    // held from from_ms on, in order with their own stamps, before any frame that follows, and
    // says how many there are as far as is known now. Recorders that cannot hold nothing.
    virtual void HoldCleanFrame(const CleanFrame& /*frame*/, int64_t /*time_ms*/, int64_t /*keep_from_ms*/) {}
    virtual int64_t WriteHeldFrames(int64_t /*from_ms*/) { return 0; }
    virtual void LetGoOfHeldFrames() {}
    // Any thread.
    virtual PreRollStatus GetHeldStatus() const { return {}; }
    // A camera frame that cannot be used (its JPEG does not decode) is lost: counted and said,
    // never dropped silently. cause is the same for every frame one fault hits; detail is whole.
    virtual void FrameLost(const std::string& /*cause*/, const std::string& /*detail*/) {}
    virtual bool TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const {
        return false;
    }
    // Recorders that encode on other threads lend the room the pass writes the planes into, so
    // that the frame is handed over without a copy; null when there is no room now: the frame
    // is then dropped, and the recorder has counted it.
    virtual bool LendsPlanes() const { return false; }
    virtual JpegPlaneRoom* LendPlanes(int32_t width, int32_t height) { return nullptr; }
    // A room lent and not handed back with a frame goes back here.
    virtual void ReturnPlanes() {}
};

// Where the marked live picture goes for display: the camera view or a test double.
class IFramePresenter {
public:
    virtual ~IFramePresenter() = default;
    // False while a live picture would not be seen (playback on show, the window minimised or
    // hidden): frames are then examined and recorded, but no picture is made for display.
    virtual bool IsShowingLive() const = 0;
    // The picture the next live frame is drawn into, on the streaming thread; the pipeline sizes it.
    virtual ViewPicture& LivePictureToFill() = 0;
    // That picture is finished, marks included. Called on the streaming thread; must not block
    // on the user-interface thread.
    virtual void PresentLivePicture() = 0;
};

// What the pipeline tells of motion events, on the streaming thread.
struct MotionEventNote {
    enum class Kind { kStart, kEnd, kLightChange };
    Kind kind = Kind::kStart;
    int64_t wall_ms = 0;      // the wall clock when the frame came, milliseconds since 1970
    int64_t blocks = 0;       // kStart, kLightChange: blocks moving in the frame; kEnd: the event's peak
    int64_t held_frames = 0;  // kStart: frames from before the event that begin its archive, as known then
};

// The per-frame pipeline: convert the camera frame (one pass from its own format), run the 4x4
// block motion detector against the previous frame, mark moving blocks, record or finish the
// archive by saving mode, and present the marked picture. What nobody looks at is not made: the
// detector needs only the mean lightness of the blocks; the packed live frame is made for a
// presenter (marks included) or a recorder that takes pictures, the view's 32-bit picture only
// while it is seen, all in the same pass.
class CFramePipeline {
public:
    // The settings always give the frame size; they are examined for detection and
    // recording only once AttachSettings(true) has been called (the view's initial update).
    CFramePipeline(const CindralSettings& settings, IFrameRecorder& recorder, IFramePresenter* presenter);

    void AttachSettings(bool is_attached) { is_settings_attached_ = is_attached; }
    // Without a capture object frames are ignored.
    void SetCaptureAttached(bool is_attached) { is_capture_attached_ = is_attached; }

    // A frame whose size disagrees with the frame size settings (the sink's, a negative height
    // for top-down rows), or that is not well formed, is not used: the recorder counts it lost.
    void ProcessFrame(const CameraFrame& frame);
    // pixels: width x height x 4 bytes (blue, green, red, unused) of the settings' size, bottom
    // row first, or top row first when the height setting is negative.
    void ProcessFrame(const uint8_t* pixels, size_t size_bytes);

    // The marked live frame of the last frame that the detector (with a presenter) or the
    // recorder needed.
    const BMP_File& LiveFrame() const { return frames_[live_index_]; }
    // The picture of the frame the next comparison is made against, with a presenter; after a
    // frame that ran the detector it is the same picture as LiveFrame() (marks included; its
    // block means are not).
    const BMP_File& PreviousFrame() const { return frames_[previous_index_]; }

    // Motion events ("Motion Detector" only): the detector's own settings, kept by the caller;
    // null keeps the defaults, which record exactly the moving frames.
    void SetDetectorSettings(const DetectorSettings* detector) { detector_ = detector; }
    // Blocks that never count as motion, scaled to the frame; null: none. Any thread.
    void SetIgnoredBlocks(std::shared_ptr<const BlockMask> mask);
    // Told when an event begins (after its first frames are stored) or ends, and of the first
    // frame of a light change. Streaming thread; must not block.
    void SetEventHandler(std::function<void(const MotionEventNote&)> handler) { on_event_ = std::move(handler); }
    // The clocks frames are timed by (monotonic and wall, milliseconds); tests replace them.
    void SetFrameClock(std::function<int64_t()> monotonic_ms, std::function<int64_t()> wall_ms);
    // While no frame comes: the event in progress ends (told as its end) and the frames held
    // for the next one are let go of. The caller finishes the archive.
    void EndEvent();
    // Any thread.
    int64_t EventsBegun() const { return events_begun_.load(); }
    using PreRollStatus = ::PreRollStatus;
    PreRollStatus GetPreRollStatus() const { return recorder_.GetHeldStatus(); }

private:
    // The frame being processed and what has been made of it so far.
    struct Work {
        CameraFrame source;             // for a JPEG frame: its decoding, once decoded
        const uint8_t* jpeg = nullptr;  // the camera's JPEG stream, if it came as one
        uint32_t jpeg_size = 0;
        bool is_decoded = true;
        bool is_whole = true;  // the JPEG decoded without damage
        bool has_means = false;
        bool has_picture = false;
        bool has_planes = false;
        ViewPicture* view = nullptr;  // the view's picture, once made
        JpegYuvPlanes planes;
        bool is_room_asked = false;
        JpegPlaneRoom* room = nullptr;  // lent by the recorder for the planes
        bool is_dropped = false;        // the recorder had no room: not stored
    };
    // Asks a recorder that lends room for the planes for it, once a frame.
    void AskForRoom();
    // The recorder keeps the camera's own frame and converts it itself.
    bool IsFrameKeptByRecorder() const;
    // Decodes a JPEG frame; false when it cannot be.
    bool Decode();
    // Runs the pass for what is asked and not yet made: the block means, the picture (the live
    // frame), the JPEG planes, the view's picture.
    void Convert(bool with_means, bool with_picture, bool with_planes, bool with_view = false);
    // Stores or finishes by saving mode; throws what the recorder throws.
    void Record(bool is_motion);
    // "Motion Detector": what the frame means for the event in progress, and what is stored.
    void RecordEvents(const MotionRules& rules);
    // What the frame can be stored from; false when it cannot be decoded.
    bool MakeCleanFrame(CleanFrame& clean);
    // Encodes the frame and holds it for the next event's beginning.
    void HoldFrame(const MotionRules& rules, int64_t now_ms);
    void Note(MotionEventNote::Kind kind, int64_t blocks, int64_t held_frames = 0);
    // The ignored blocks over the frame's grid; null when none are.
    const BlockMask* IgnoredBlocks(int32_t blocks_across, int32_t blocks_down);
    // Compares block means with the previous frame, the ignored blocks left out; fills
    // moving_count_, counted_blocks_ and, when marks are drawn, moving_blocks_; true on motion.
    bool FindMovingBlocks();
    // Marks the top-left pixel of every moving block, in the view's picture too. The block means
    // stay those of the unmarked picture: marks are never compared.
    void MarkMovingBlocks();

    const CindralSettings& settings_;
    IFrameRecorder& recorder_;
    IFramePresenter* presenter_;
    bool is_settings_attached_ = false;
    bool is_capture_attached_ = true;

    Work work_;
    YuvColour colour_ = kBt601Limited;
    YuvCoefficients coefficients_ = YuvCoefficients::For(kBt601Limited);
    JpegCodec decoder_;                 // camera JPEG frames
    std::vector<uint8_t> jpeg_planes_;  // the planes the pass writes for the recorder

    // Two pictures: the previous frame and the one being filled. Once the detector has run,
    // the live frame simply becomes the previous one; no copy is made.
    BMP_File frames_[2];
    int live_index_ = 1;
    int previous_index_ = 0;
    // The mean lightness of every 4x4 block (the sum of its 16 pixels' / 16, truncated), row of
    // blocks after row of blocks, for the live and the previous frame, both unmarked.
    std::vector<uint8_t> live_block_means_;
    std::vector<uint8_t> previous_block_means_;
    // The frame sizes the live and the previous block means were made of.
    struct FrameSize {
        int32_t width = 0;
        int32_t height = 0;
        bool operator==(const FrameSize&) const = default;
    };
    FrameSize live_means_size_;
    FrameSize previous_means_size_;
    std::vector<uint32_t> moving_blocks_;  // block indices found moving in this frame, for the marks
    int64_t moving_count_ = 0;             // blocks found moving in this frame
    int64_t counted_blocks_ = 0;           // blocks compared in this frame

    // Motion events.
    const DetectorSettings* detector_ = nullptr;
    std::function<void(const MotionEventNote&)> on_event_;
    std::function<int64_t()> monotonic_ms_;
    std::function<int64_t()> wall_ms_;
    CMotionEvents events_;
    bool is_holding_ = false;  // the recorder may hold frames for the next event
    int64_t event_peak_blocks_ = 0;
    bool was_light_change_ = false;
    std::atomic<int64_t> events_begun_{0};
    // The ignored blocks as set (any thread) and as scaled to the frame (streaming thread).
    mutable std::mutex mask_mutex_;
    std::shared_ptr<const BlockMask> mask_;
    std::shared_ptr<const BlockMask> scaled_from_;
    BlockMask scaled_mask_;
    int64_t scaled_ignored_count_ = 0;
};
