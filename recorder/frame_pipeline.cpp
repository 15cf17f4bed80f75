#include "recorder/frame_pipeline.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>

#include "detection/block_compare.h"
#include "platform/tick_clock.h"

namespace {

constexpr int kBlockSize = 4;

// A frame the pass can read without running off its planes.
bool IsWellFormed(const CameraFrame& frame) {
    if (frame.width <= 0 || frame.height == 0 || frame.height == INT32_MIN || frame.planes[0] == nullptr) return false;
    if (static_cast<int64_t>(frame.width) * std::abs(frame.height) > INT32_MAX / 4) return false;
    const int64_t width = frame.width;
    const int64_t chroma_width = (width + 1) / 2;
    // YUV comes top row first; only packed blue-green-red frames may come bottom row first.
    const bool is_top_down = frame.height < 0;
    switch (frame.layout) {
        case PixelLayout::kJpeg: return frame.size_bytes > 0 && frame.size_bytes <= UINT32_MAX;
        case PixelLayout::kBgrx: return frame.strides[0] == 0 || frame.strides[0] >= 4 * width;
        case PixelLayout::kBgr: return frame.strides[0] == 0 || frame.strides[0] >= 3 * width;
        case PixelLayout::kYuy2:
        case PixelLayout::kUyvy: return is_top_down && frame.strides[0] >= 4 * chroma_width;
        case PixelLayout::kNv12:
            return is_top_down && frame.planes[1] != nullptr && frame.strides[0] >= width &&
                   frame.strides[1] >= 2 * chroma_width;
        case PixelLayout::kI420:
        case PixelLayout::kI422:
            return is_top_down && frame.planes[1] != nullptr && frame.planes[2] != nullptr &&
                   frame.strides[0] >= width && frame.strides[1] >= chroma_width && frame.strides[2] >= chroma_width;
    }
    return false;
}

}  // namespace

namespace {

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CFramePipeline::CFramePipeline(const CindralSettings& settings, IFrameRecorder& recorder, IFramePresenter* presenter)
    : settings_(settings), recorder_(recorder), presenter_(presenter), monotonic_ms_(&MonotonicMs), wall_ms_(&WallMs) {}

void CFramePipeline::SetIgnoredBlocks(std::shared_ptr<const BlockMask> mask) {
    const std::lock_guard<std::mutex> lock(mask_mutex_);
    mask_ = std::move(mask);
}

void CFramePipeline::SetFrameClock(std::function<int64_t()> monotonic_ms, std::function<int64_t()> wall_ms) {
    monotonic_ms_ = std::move(monotonic_ms);
    wall_ms_ = std::move(wall_ms);
}

void CFramePipeline::ProcessFrame(const uint8_t* pixels, size_t size_bytes) {
    const int32_t width = settings_.frame_width.load(std::memory_order_relaxed);
    const int32_t height = settings_.frame_height.load(std::memory_order_relaxed);
    const int64_t pixel_count = static_cast<int64_t>(width) * std::llabs(static_cast<int64_t>(height));
    // Frames that disagree with the negotiated size (or have none) are dropped, not guessed at.
    if (pixels == nullptr || width <= 0 || pixel_count <= 0 || pixel_count > INT32_MAX / 4) return;
    if (size_bytes != static_cast<size_t>(pixel_count) * 4) return;
    CameraFrame frame;
    frame.layout = PixelLayout::kBgrx;
    frame.width = width;
    frame.height = height;
    frame.planes[0] = pixels;
    frame.strides[0] = width * 4;
    frame.size_bytes = size_bytes;
    ProcessFrame(frame);
}

void CFramePipeline::ProcessFrame(const CameraFrame& frame) {
    if (!is_capture_attached_) return;
    if (!IsWellFormed(frame)) {
        recorder_.FrameLost("a camera frame could not be used: its size or layout is not valid",
                            "a camera frame could not be used: " + std::to_string(frame.width) + "x" +
                                std::to_string(std::abs(static_cast<int64_t>(frame.height))) +
                                " pixels, or its layout, is not valid");
        return;
    }
    if (frame.width != settings_.frame_width.load(std::memory_order_relaxed) ||
        frame.height != settings_.frame_height.load(std::memory_order_relaxed)) {
        recorder_.FrameLost("a camera frame could not be used: its size is not the camera's",
                            "a camera frame could not be used: " + std::to_string(frame.width) + "x" +
                                std::to_string(std::abs(static_cast<int64_t>(frame.height))) +
                                " pixels is not the size the camera said");
        return;
    }
    if (work_.room != nullptr) recorder_.ReturnPlanes();  // lent for the last frame, and not used
    work_ = Work{};
    work_.source = frame;
    if (frame.layout == PixelLayout::kJpeg) {
        work_.jpeg = frame.planes[0];
        work_.jpeg_size = static_cast<uint32_t>(frame.size_bytes);
        work_.is_decoded = false;
    } else if (IsYuvLayout(frame.layout) && !(frame.colour == colour_)) {
        colour_ = frame.colour;
        coefficients_ = YuvCoefficients::For(colour_);
    }

    bool is_detector_run = false;
    int32_t planned_mode = kSavingOff;
    if (is_settings_attached_) {
        const bool is_detector_shown = settings_.show_detector.load(std::memory_order_relaxed) != 0;
        planned_mode = settings_.saving_mode.load(std::memory_order_relaxed);
        is_detector_run = is_detector_shown || planned_mode == kSavingMotionDetector;
    }
    const bool is_shown = presenter_ != nullptr && presenter_->IsShowingLive();
    if (is_shown || is_detector_run) {
        if (!work_.is_decoded && !Decode()) return;
        // "Always" stores every frame: what it stores from is made in the same pass, unless the
        // camera's own JPEG is what will be stored.
        const bool is_jpeg_kept =
            work_.jpeg != nullptr && work_.is_whole &&
            recorder_.TakesCameraJpeg(work_.jpeg, work_.jpeg_size, frame.width, std::abs(frame.height));
        // So are frames held before an event and those of an event in progress.
        const bool is_event_stored =
            planned_mode == kSavingMotionDetector &&
            (events_.IsInEvent() || (detector_ != nullptr && detector_->pre_roll_s.load() > 0));
        const bool is_stored = (planned_mode == kSavingAlways || is_event_stored) && !is_jpeg_kept;
        // A frame the encoders can keep is kept, even when the detector reads it here: the pass
        // then makes only the block means, and each worker converts its frame in strips that stay
        // in its cache. Planes written here would be read back by another core, which costs the
        // encoder more than reading the camera's frame twice costs the pass. With a view the pass
        // reads the whole frame anyway, and the planes come with it.
        const bool is_kept_for_encoders = !is_shown && IsFrameKeptByRecorder();
        const bool is_stored_from_planes =
            is_stored && !is_kept_for_encoders && IsYuvLayout(work_.source.layout) && recorder_.TakesPlanes();
        if (is_stored_from_planes) AskForRoom();
        // The detector compares only the block means; the packed picture is made for a view that
        // keeps the marked live frame or for a recorder that stores it, never for the comparison.
        const bool is_picture_kept = is_detector_run && presenter_ != nullptr;
        Convert(is_detector_run, is_picture_kept || (is_stored && !is_stored_from_planes && !is_kept_for_encoders),
                is_stored_from_planes && !work_.is_dropped, is_shown);
    }

    bool is_motion = false;
    if (is_detector_run && work_.has_means && live_means_size_ == previous_means_size_) {
        is_motion = FindMovingBlocks();
    } else {
        moving_blocks_.clear();
        moving_count_ = 0;
        counted_blocks_ = 0;
    }

    // The recorder gets the frame before any mark is drawn: that is the clean picture, so no
    // separate copy of it is needed. A recorder failure still lets the detector finish its frame,
    // as if the marks had been drawn first, and then ends the frame.
    std::exception_ptr recorder_failure;
    if (is_settings_attached_) {
        try {
            Record(is_motion);
        } catch (...) {
            recorder_failure = std::current_exception();
        }
    }

    if (is_detector_run) {
        MarkMovingBlocks();
        // The marked live frame is the next previous frame, and its means the next comparison's:
        // buffers change places, nothing is copied.
        if (work_.has_picture) previous_index_ = live_index_;
        previous_block_means_.swap(live_block_means_);
        previous_means_size_ = live_means_size_;
    }
    if (recorder_failure) std::rethrow_exception(recorder_failure);

    if (is_shown && work_.view != nullptr) presenter_->PresentLivePicture();
}

bool CFramePipeline::Decode() {
    CameraFrame decoded;
    bool is_whole = true;
    if (!decoder_.DecodeCameraFrame(work_.jpeg, work_.jpeg_size, work_.source.width, std::abs(work_.source.height),
                                    &decoded, &is_whole)) {
        // The library's words without the step that failed, up to their first colon: one
        // cause for every frame the same fault hits ("Not a JPEG file").
        std::string reason = decoder_.LastError();
        if (reason.rfind("tj", 0) == 0 && reason.find(": ") != std::string::npos)
            reason.erase(0, reason.find(": ") + 2);
        recorder_.FrameLost("a camera frame could not be decoded: " + reason.substr(0, reason.find(':')),
                            "a camera frame could not be decoded: " + decoder_.LastError());
        return false;
    }
    work_.source = decoded;
    work_.is_decoded = true;
    work_.is_whole = is_whole;
    if (IsYuvLayout(decoded.layout) && !(decoded.colour == colour_)) {
        colour_ = decoded.colour;
        coefficients_ = YuvCoefficients::For(colour_);
    }
    return true;
}

void CFramePipeline::Record(bool is_motion) {
    const int32_t saving_mode = settings_.saving_mode.load(std::memory_order_relaxed);
    if (saving_mode == kSavingMotionDetector) {
        RecordEvents(detector_ != nullptr ? detector_->Rules() : MotionRules{});
        return;
    }
    // Another mode ends the event in progress and lets go of the frames held for the next one.
    if (events_.IsInEvent() || is_holding_) EndEvent();
    if (saving_mode != kSavingAlways) {
        recorder_.CloseFile();
        return;
    }
    CleanFrame clean;
    if (MakeCleanFrame(clean)) recorder_.WriteCleanFrame(clean);
}

void CFramePipeline::EndEvent() {
    if (events_.Reset()) Note(MotionEventNote::Kind::kEnd, event_peak_blocks_);
    if (is_holding_) recorder_.LetGoOfHeldFrames();
    is_holding_ = false;
}

void CFramePipeline::RecordEvents(const MotionRules& rules) {
    const int64_t now_ms = monotonic_ms_();
    const int64_t moving = moving_count_;
    const MotionStep step = events_.Next(moving, counted_blocks_, now_ms, rules);
    if (step.is_light_change && !was_light_change_) Note(MotionEventNote::Kind::kLightChange, moving);
    was_light_change_ = step.is_light_change;
    if (step.ends) {
        recorder_.CloseFile();
        Note(MotionEventNote::Kind::kEnd, event_peak_blocks_);
    }
    if (step.is_recorded) {
        int64_t held_count = 0;
        if (step.begins) {
            events_begun_.fetch_add(1);
            event_peak_blocks_ = 0;
            // The frames before the first moving one begin the archive, with their own stamps.
            // The recorder's writer stores them: the streaming thread goes on at once.
            if (is_holding_) held_count = recorder_.WriteHeldFrames(step.first_moving_ms - rules.pre_roll_ms);
            is_holding_ = false;
        }
        event_peak_blocks_ = std::max(event_peak_blocks_, moving);
        CleanFrame clean;
        if (MakeCleanFrame(clean)) recorder_.WriteCleanFrame(clean);
        if (step.begins) Note(MotionEventNote::Kind::kStart, moving, held_count);
        return;
    }
    if (!step.ends) recorder_.CloseFile();  // cheap when none is open
    if (rules.pre_roll_ms > 0) {
        HoldFrame(rules, now_ms);
    } else if (is_holding_) {
        recorder_.LetGoOfHeldFrames();
        is_holding_ = false;
    }
}

void CFramePipeline::HoldFrame(const MotionRules& rules, int64_t now_ms) {
    CleanFrame clean;
    if (!MakeCleanFrame(clean)) return;
    // A run of moving frames that has not yet begun an event is kept whole, with the span before it.
    const int64_t run_start_ms = events_.RunStartMs();
    const int64_t keep_from_ms = (run_start_ms >= 0 ? run_start_ms : now_ms) - rules.pre_roll_ms;
    recorder_.HoldCleanFrame(clean, now_ms, keep_from_ms);
    is_holding_ = true;
}

void CFramePipeline::Note(MotionEventNote::Kind kind, int64_t blocks, int64_t held_frames) {
    if (!on_event_) return;
    MotionEventNote note;
    note.kind = kind;
    note.wall_ms = wall_ms_();
    note.blocks = blocks;
    note.held_frames = held_frames;
    on_event_(note);
}

bool CFramePipeline::MakeCleanFrame(CleanFrame& clean) {
    clean.width = work_.source.width;
    clean.height = std::abs(work_.source.height);
    if (work_.jpeg != nullptr && work_.is_whole &&
        recorder_.TakesCameraJpeg(work_.jpeg, work_.jpeg_size, clean.width, clean.height)) {
        clean.camera_jpeg = work_.jpeg;
        clean.camera_jpeg_size = work_.jpeg_size;
    } else {
        if (!work_.is_decoded && !Decode()) return false;
        if (IsFrameKeptByRecorder() && !work_.has_planes) {
            clean.camera = &work_.source;
            clean.coefficients = &coefficients_;
        } else if (IsYuvLayout(work_.source.layout) && recorder_.TakesPlanes()) {
            AskForRoom();
            if (work_.is_dropped) return false;  // the recorder has counted it
            Convert(false, false, true);
            clean.planes = &work_.planes;
            // The planes go back to the recorder in its own room, which is then no longer ours.
            clean.is_in_lent_room = work_.room != nullptr;
            work_.room = nullptr;
        } else {
            Convert(false, true, false);
        }
    }
    if (work_.has_picture) clean.picture = &frames_[live_index_];
    return true;
}

bool CFramePipeline::IsFrameKeptByRecorder() const {
    return work_.source.keeper != nullptr && IsYuvLayout(work_.source.layout) && recorder_.TakesCameraFrames();
}

void CFramePipeline::AskForRoom() {
    if (work_.is_room_asked || !recorder_.LendsPlanes()) return;
    work_.is_room_asked = true;
    work_.room = recorder_.LendPlanes(work_.source.width, std::abs(work_.source.height));
    work_.is_dropped = work_.room == nullptr;
}

void CFramePipeline::Convert(bool with_means, bool with_picture, bool with_planes, bool with_view) {
    const CameraFrame& frame = work_.source;
    const int32_t width = frame.width;
    const int32_t height = std::abs(frame.height);
    // Packed pixels are copied to the picture for little more than their means cost.
    if (with_means && !IsYuvLayout(frame.layout)) with_picture = true;
    PassTarget target;
    if (with_picture && !work_.has_picture) {
        live_index_ = 1 - previous_index_;
        BMP_File& live = frames_[live_index_];
        live.CreateForOverwrite(width, height);
        target.bgr = live.GetBits();
    }
    if (with_means && !work_.has_means) {
        const int32_t blocks_across = (width + kBlockSize - 1) / kBlockSize;
        const int32_t blocks_down = (height + kBlockSize - 1) / kBlockSize;
        live_block_means_.resize(static_cast<size_t>(blocks_across) * static_cast<size_t>(blocks_down));
        target.block_means = live_block_means_.data();
        live_means_size_ = FrameSize{width, height};
    }
    if (with_view && work_.view == nullptr) {
        ViewPicture& view = presenter_->LivePictureToFill();
        view.Resize(width, height);
        target.bgrx = view.Bits();
        work_.view = &view;
    }
    if (with_planes && !work_.has_planes && IsYuvLayout(frame.layout) && work_.room != nullptr) {
        // Written where the recorder's encoder reads them: the frame itself is gone after this call.
        for (int plane = 0; plane < 3; ++plane) {
            target.planes[plane] = work_.room->planes[plane];
            target.strides[plane] = work_.room->strides[plane];
        }
        work_.planes = JpegYuvPlanes{width, height, {}, {}};
        for (int plane = 0; plane < 3; ++plane) {
            work_.planes.planes[plane] = target.planes[plane];
            work_.planes.strides[plane] = target.strides[plane];
        }
        work_.has_planes = true;
    } else if (with_planes && !work_.has_planes && IsYuvLayout(frame.layout)) {
        // What already is JPEG's own YUV is handed over as it lies; the rest the pass writes.
        const bool is_jpeg_yuv = coefficients_.IsJpegYuv();
        const bool keeps_luma = is_jpeg_yuv && frame.layout != PixelLayout::kYuy2 && frame.layout != PixelLayout::kUyvy;
        const bool keeps_chroma = is_jpeg_yuv && frame.layout == PixelLayout::kI420;
        const size_t luma_bytes = static_cast<size_t>(width) * static_cast<size_t>(height);
        const int32_t chroma_width = (width + 1) / 2;
        const size_t chroma_bytes = static_cast<size_t>(chroma_width) * static_cast<size_t>((height + 1) / 2);
        const size_t needed = (keeps_luma ? 0 : luma_bytes) + (keeps_chroma ? 0 : 2 * chroma_bytes);
        if (jpeg_planes_.size() < needed) jpeg_planes_.resize(needed);
        uint8_t* next = jpeg_planes_.data();
        JpegYuvPlanes& planes = work_.planes;
        planes = JpegYuvPlanes{width, height, {}, {}};
        if (keeps_luma) {
            planes.planes[0] = frame.planes[0];
            planes.strides[0] = frame.strides[0];
        } else {
            target.planes[0] = next;
            target.strides[0] = width;
            next += luma_bytes;
        }
        if (keeps_chroma) {
            for (int plane = 1; plane < 3; ++plane) {
                planes.planes[plane] = frame.planes[plane];
                planes.strides[plane] = frame.strides[plane];
            }
        } else {
            for (int plane = 1; plane < 3; ++plane) {
                target.planes[plane] = next;
                target.strides[plane] = chroma_width;
                next += chroma_bytes;
            }
        }
        for (int plane = 0; plane < 3; ++plane) {
            if (target.planes[plane] != nullptr) {
                planes.planes[plane] = target.planes[plane];
                planes.strides[plane] = target.strides[plane];
            }
        }
        work_.has_planes = true;
    }
    if (target.bgr != nullptr || target.block_means != nullptr || target.bgrx != nullptr ||
        target.planes[0] != nullptr || target.planes[1] != nullptr) {
        RunFramePass(frame, coefficients_, target);
    }
    if (target.bgr != nullptr) work_.has_picture = true;
    if (target.block_means != nullptr) work_.has_means = true;
}

const BlockMask* CFramePipeline::IgnoredBlocks(int32_t blocks_across, int32_t blocks_down) {
    std::shared_ptr<const BlockMask> mask;
    {
        const std::lock_guard<std::mutex> lock(mask_mutex_);
        mask = mask_;
    }
    if (mask == nullptr) {
        scaled_from_.reset();
        return nullptr;
    }
    if (mask != scaled_from_ || scaled_mask_.Across() != blocks_across || scaled_mask_.Down() != blocks_down) {
        scaled_mask_ = mask->ScaledTo(blocks_across, blocks_down);
        scaled_ignored_count_ = scaled_mask_.IgnoredCount();
        scaled_from_ = std::move(mask);
    }
    return scaled_ignored_count_ > 0 ? &scaled_mask_ : nullptr;
}

bool CFramePipeline::FindMovingBlocks() {
    const BlockMask* ignored = IgnoredBlocks((live_means_size_.width + kBlockSize - 1) / kBlockSize,
                                             (live_means_size_.height + kBlockSize - 1) / kBlockSize);
    const size_t block_count = live_block_means_.size();
    counted_blocks_ = static_cast<int64_t>(block_count) - (ignored != nullptr ? scaled_ignored_count_ : 0);
    // Which blocks moved only matters to the marks, and only where a picture shows them.
    const bool is_marked =
        settings_.show_detector.load(std::memory_order_relaxed) != 0 && (work_.has_picture || work_.view != nullptr);
    if (!is_marked) moving_blocks_.clear();
    moving_count_ =
        CompareBlocks(live_block_means_.data(), previous_block_means_.data(), block_count,
                      settings_.threshold.load(std::memory_order_relaxed),
                      ignored != nullptr ? ignored->Bytes().data() : nullptr, is_marked ? &moving_blocks_ : nullptr);
    return moving_count_ > 0;
}

void CFramePipeline::MarkMovingBlocks() {
    if (moving_blocks_.empty()) return;
    BMP_File& live = frames_[live_index_];
    const int32_t blocks_across = (live_means_size_.width + kBlockSize - 1) / kBlockSize;
    const DetectorColour colour = ExpandDetectorColour(settings_.detector_colour.load(std::memory_order_relaxed));
    for (const uint32_t block : moving_blocks_) {
        const int32_t x = static_cast<int32_t>(block % static_cast<uint32_t>(blocks_across)) * kBlockSize;
        const int32_t y = static_cast<int32_t>(block / static_cast<uint32_t>(blocks_across)) * kBlockSize;
        if (work_.has_picture) live.GetPixel(x, y) = mColor_24{colour.blue, colour.green, colour.red};
        if (work_.view != nullptr) work_.view->SetPixel(x, y, colour.blue, colour.green, colour.red);
    }
}
