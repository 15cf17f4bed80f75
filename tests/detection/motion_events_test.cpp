#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "detection/motion_events.h"
#include "platform/key_store.h"
#include "recorder/frame_archive.h"
#include "recorder/frame_pipeline.h"
#include "recorder/pre_roll.h"
#include "support/temp_folder.h"

namespace {

constexpr int64_t kFrameMs = 100;

// Frames of a clip: moving block counts out of 100, one every 100 ms; returns the steps.
std::vector<MotionStep> Feed(CMotionEvents& events, const std::vector<int64_t>& moving, const MotionRules& rules,
                             int64_t counted = 100) {
    std::vector<MotionStep> steps;
    for (size_t i = 0; i < moving.size(); ++i) steps.push_back(events.Next(moving[i], counted, kFrameMs * i, rules));
    return steps;
}

std::vector<int> Indices(const std::vector<MotionStep>& steps, bool MotionStep::*flag) {
    std::vector<int> indices;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].*flag) indices.push_back(static_cast<int>(i));
    }
    return indices;
}

TEST(MotionEventsTest, SmallestMotionCountsFramesWithAtLeastNBlocks) {
    MotionRules rules;
    rules.min_blocks = 5;
    CMotionEvents events;
    const auto steps = Feed(events, {4, 0, 5, 6, 4}, rules);
    EXPECT_EQ((std::vector<int>{2, 3}), Indices(steps, &MotionStep::is_moving));
    EXPECT_EQ((std::vector<int>{2}), Indices(steps, &MotionStep::begins));
    EXPECT_EQ((std::vector<int>{4}), Indices(steps, &MotionStep::ends));
}

TEST(MotionEventsTest, EventBeginsAfterExactlyKMovingFramesInARow) {
    MotionRules rules;
    rules.frames_in_a_row = 3;
    CMotionEvents events;
    // Two in a row, a still frame, then three in a row.
    const auto steps = Feed(events, {1, 1, 0, 1, 1, 1, 1}, rules);
    EXPECT_EQ((std::vector<int>{5}), Indices(steps, &MotionStep::begins));
    EXPECT_EQ(3 * kFrameMs, steps[5].first_moving_ms);
    EXPECT_EQ((std::vector<int>{5, 6}), Indices(steps, &MotionStep::is_recorded));
}

TEST(MotionEventsTest, MoreThanPPercentMovingIsALightChangeOfTheCountedBlocks) {
    MotionRules rules;
    rules.light_change_percent = 60;
    CMotionEvents events;
    const auto steps = Feed(events, {0, 60, 0, 61, 0}, rules);
    EXPECT_EQ((std::vector<int>{1}), Indices(steps, &MotionStep::is_moving));
    EXPECT_EQ((std::vector<int>{3}), Indices(steps, &MotionStep::is_light_change));
    // Ignored blocks are not counted: 31 of 50 is more than 60 %.
    EXPECT_TRUE(events.Next(31, 50, 1000, rules).is_light_change);
    // Off: everything moving is motion.
    EXPECT_TRUE(events.Next(100, 100, 1100, MotionRules{}).is_moving);
}

TEST(MotionEventsTest, PostRollSpansAPauseShorterThanItAndEndsALongerOne) {
    MotionRules rules;
    rules.post_roll_ms = 10 * kFrameMs;
    // Motion, a pause of 9 still frames (900 ms), motion again: one event, every frame recorded.
    {
        CMotionEvents events;
        std::vector<int64_t> moving(12, 0);
        moving[0] = moving[10] = moving[11] = 3;
        const auto steps = Feed(events, moving, rules);
        EXPECT_EQ((std::vector<int>{0}), Indices(steps, &MotionStep::begins));
        EXPECT_EQ(12u, Indices(steps, &MotionStep::is_recorded).size());
        EXPECT_TRUE(Indices(steps, &MotionStep::ends).empty());
    }
    // A pause of 10 still frames lasts the post-roll: the 10th ends the event unrecorded; the next
    // motion begins another.
    {
        CMotionEvents events;
        std::vector<int64_t> moving(12, 0);
        moving[0] = moving[11] = 3;
        const auto steps = Feed(events, moving, rules);
        EXPECT_EQ((std::vector<int>{0, 11}), Indices(steps, &MotionStep::begins));
        EXPECT_EQ((std::vector<int>{10}), Indices(steps, &MotionStep::ends));
        EXPECT_FALSE(steps[10].is_recorded);
    }
}

TEST(MotionEventsTest, BlockMaskScalesToAnyGridIgnoringEveryBlockAMarkedCellOverlaps) {
    const BlockMask left(2, 1, {1, 0});
    EXPECT_EQ((std::vector<uint8_t>{1, 1, 0, 0, 1, 1, 0, 0}), left.ScaledTo(4, 2).Bytes());
    std::vector<uint8_t> corner(16, 0);
    corner[15] = 1;  // bottom right of a 4x4 picture
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 1}), BlockMask(4, 4, corner).ScaledTo(2, 2).Bytes());
    // 3 cells onto 2 blocks: the middle cell lies under both.
    EXPECT_EQ((std::vector<uint8_t>{1, 1}), BlockMask(3, 1, {0, 1, 0}).ScaledTo(2, 1).Bytes());
    EXPECT_EQ(2, BlockMask(3, 1, {0, 1, 1}).IgnoredCount());
}

// The mask as rows of '#' (ignored) and '.', for readable comparisons.
std::vector<std::string> Rows(const BlockMask& mask) {
    std::vector<std::string> rows;
    for (int32_t y = 0; y < mask.Down(); ++y) {
        std::string row;
        for (int32_t x = 0; x < mask.Across(); ++x) row += mask.IsIgnored(size_t(y) * mask.Across() + x) ? '#' : '.';
        rows.push_back(row);
    }
    return rows;
}

TEST(MotionEventsTest, PaintingByHandCoversTheWholeLineWithTheBrushAndRectanglesCornerToCorner) {
    BlockMask mask(7, 4, {});
    // A slanting line of one-block brush: one block per column, each touching the last.
    mask.PaintLine(0, 0, 6, 3, 1, true);
    EXPECT_EQ((std::vector<std::string>{"#......", ".##....", "...##..", ".....##"}), Rows(mask));
    // Erased again with a brush of 3, reaching past the grid's edge without harm.
    mask.PaintLine(-5, 0, 1, 0, 3, false);
    mask.PaintLine(5, 3, 6, 3, 3, false);
    EXPECT_EQ((std::vector<std::string>{".......", ".......", "...#...", "......."}), Rows(mask));
    // A brush of 5 stamped once; a rectangle given by its corners in either order.
    BlockMask stamped(7, 5, {});
    stamped.PaintLine(3, 2, 3, 2, 5, true);
    EXPECT_EQ(25, stamped.IgnoredCount());
    EXPECT_FALSE(stamped.IsIgnored(0));
    BlockMask boxed(5, 3, {});
    boxed.PaintRectangle(3, 2, 1, 1, true);
    EXPECT_EQ((std::vector<std::string>{".....", ".###.", ".###."}), Rows(boxed));
    // A line from far outside costs no more than the grid.
    boxed.PaintLine(-2000000000, 0, 2000000000, 0, 9, true);
    EXPECT_EQ(15, boxed.IgnoredCount());
}

TEST(MotionEventsTest, PreRollKeepsTheSpanWithinTheByteLimit) {
    CPreRollBuffer buffer(30);
    for (int i = 0; i < 3; ++i) buffer.Hold(HeldFrame{std::vector<uint8_t>(10, 1), 8, 8, i * 1.0, i * kFrameMs}, 0);
    EXPECT_EQ(3u, buffer.Count());
    EXPECT_FALSE(buffer.IsShortened());
    buffer.Hold(HeldFrame{std::vector<uint8_t>(10, 1), 8, 8, 3.0, 3 * kFrameMs}, 0);
    EXPECT_EQ(3u, buffer.Count());
    EXPECT_EQ(30u, buffer.Bytes());
    EXPECT_TRUE(buffer.IsShortened());
    // Older than the span: let go of.
    buffer.Hold(HeldFrame{std::vector<uint8_t>(5, 1), 8, 8, 4.0, 4 * kFrameMs}, 3 * kFrameMs);
    const std::vector<HeldFrame> taken = buffer.TakeFrom(4 * kFrameMs);
    ASSERT_EQ(1u, taken.size());
    EXPECT_EQ(4.0, taken[0].record_stamp);
    EXPECT_EQ(0u, buffer.Count());
    EXPECT_EQ(0u, buffer.Bytes());
    // A frame alone over the limit stays: it may begin an event. The next one takes its place.
    buffer.Hold(HeldFrame{std::vector<uint8_t>(50, 1), 8, 8, 5.0, 5 * kFrameMs}, 0);
    ASSERT_EQ(1u, buffer.Count());
    buffer.Hold(HeldFrame{std::vector<uint8_t>(40, 1), 8, 8, 6.0, 6 * kFrameMs}, 0);
    const std::vector<HeldFrame> alone = buffer.TakeFrom(0);
    ASSERT_EQ(1u, alone.size());
    EXPECT_EQ(6.0, alone[0].record_stamp);
}

TEST(MotionEventsTest, SettingsRoundTripThroughTheirOwnKey) {
    TempFolder folder;
    DetectorSettings saved;
    saved.pre_roll_s = 3;
    saved.post_roll_s = 20;
    saved.min_blocks = 4;
    saved.frames_in_a_row = 2;
    saved.light_change_percent = 60;
    saved.is_notifying = false;
    saved.event_command = "notify-send \"$CINDRAL_EVENT\"";
    {
        CKeyStore store(folder.File("Cindral.reg"));
        ASSERT_TRUE(SaveDetectorSettings(store, saved));
    }
    CKeyStore store(folder.File("Cindral.reg"));
    DetectorSettings loaded;
    LoadDetectorSettings(store, loaded);
    const MotionRules rules = loaded.Rules();
    EXPECT_EQ(3000, rules.pre_roll_ms);
    EXPECT_EQ(20000, rules.post_roll_ms);
    EXPECT_EQ(4, rules.min_blocks);
    EXPECT_EQ(2, rules.frames_in_a_row);
    EXPECT_EQ(60, rules.light_change_percent);
    EXPECT_FALSE(loaded.is_notifying);
    EXPECT_EQ(saved.event_command, loaded.event_command);
    // Stored values out of range are brought within the limits.
    loaded.pre_roll_s = 99;
    loaded.frames_in_a_row = 0;
    EXPECT_EQ(kMaxPreRollS * 1000, loaded.Rules().pre_roll_ms);
    EXPECT_EQ(1, loaded.Rules().frames_in_a_row);
}

// ---------------------------------------------------------------- a synthetic clip through the pipeline

constexpr int32_t kWidth = 64;
constexpr int32_t kHeight = 48;

// A still grey scene with sensor noise; an 8x8 bright object enters from the left at frame 10,
// moves 4 pixels a frame to x = 32 (frame 19), pauses there for frames 20 to 29, moves on from
// frame 30 and has left the picture at frame 37. From frame 60 on the light is brighter.
std::vector<uint8_t> ClipFrame(int frame) {
    int object_x = -100;
    if (frame >= 10 && frame <= 19) object_x = 4 * (frame - 10) - 4;
    if (frame >= 20 && frame <= 29) object_x = 32;
    if (frame >= 30) object_x = 32 + 4 * (frame - 29);
    const int background = frame >= 60 ? 160 : 80;
    std::vector<uint8_t> bytes(static_cast<size_t>(kWidth) * kHeight * 4);
    uint32_t noise = 12345u + static_cast<uint32_t>(frame) * 7919u;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            noise = noise * 1103515245u + 12345u;
            const int grain = static_cast<int>((noise >> 16) % 7) - 3;
            const bool is_object = x >= object_x && x < object_x + 8 && y >= 20 && y < 28;
            const uint8_t value = static_cast<uint8_t>((is_object ? 220 : background) + grain);
            uint8_t* pixel = &bytes[(static_cast<size_t>(y) * kWidth + x) * 4];
            pixel[0] = pixel[1] = pixel[2] = value;
            pixel[3] = 0;
        }
    }
    return bytes;
}

// Keeps which frames were recorded (held ones by the number they were encoded with) and the archives.
class FrameListRecorder : public IFrameRecorder {
public:
    int frame = 0;
    std::vector<std::vector<int>> archives;

    bool WriteFrame(const BMP_File&) override { return Add(frame); }
    bool CloseFile() override {
        is_open_ = false;
        return true;
    }
    void HoldCleanFrame(const CleanFrame&, int64_t time_ms, int64_t keep_from_ms) override {
        held_.Hold(HeldFrame{std::vector<uint8_t>(1), 0, 0, static_cast<double>(frame), time_ms}, keep_from_ms);
    }
    int64_t WriteHeldFrames(int64_t from_ms) override {
        const std::vector<HeldFrame> taken = held_.TakeFrom(from_ms);
        for (const HeldFrame& held : taken) Add(static_cast<int>(held.record_stamp));
        return static_cast<int64_t>(taken.size());
    }
    void LetGoOfHeldFrames() override { held_.Clear(); }

private:
    bool Add(int index) {
        if (!is_open_) archives.emplace_back();
        is_open_ = true;
        archives.back().push_back(index);
        return true;
    }
    bool is_open_ = false;
    CPreRollBuffer held_;
};

std::vector<int> Span(int first, int last) {
    std::vector<int> frames;
    for (int i = first; i <= last; ++i) frames.push_back(i);
    return frames;
}

struct ClipRun {
    std::vector<std::vector<int>> archives;
    std::vector<MotionEventNote::Kind> notes;
};

ClipRun RunClip(const DetectorSettings& detector, int frames, std::shared_ptr<const BlockMask> mask = nullptr,
                int32_t show_detector = 0) {
    CindralSettings settings;
    settings.frame_width = kWidth;
    settings.frame_height = -kHeight;
    settings.threshold = 20;
    settings.saving_mode = kSavingMotionDetector;
    settings.show_detector = show_detector;
    FrameListRecorder recorder;
    CFramePipeline pipeline(settings, recorder, nullptr);
    pipeline.AttachSettings(true);
    pipeline.SetDetectorSettings(&detector);
    pipeline.SetIgnoredBlocks(std::move(mask));
    pipeline.SetFrameClock([&] { return recorder.frame * kFrameMs; }, [&] { return recorder.frame * kFrameMs; });
    ClipRun run;
    pipeline.SetEventHandler([&](const MotionEventNote& note) { run.notes.push_back(note.kind); });
    for (int frame = 0; frame < frames; ++frame) {
        recorder.frame = frame;
        const std::vector<uint8_t> pixels = ClipFrame(frame);
        pipeline.ProcessFrame(pixels.data(), pixels.size());
    }
    pipeline.EndEvent();
    run.archives = recorder.archives;
    return run;
}

using Kind = MotionEventNote::Kind;

TEST(MotionEventsClipTest, DefaultsRecordExactlyTheMovingFrames) {
    DetectorSettings detector;
    const ClipRun run = RunClip(detector, 60);
    // The noise never moves a block; the pause ends the first archive.
    EXPECT_EQ((std::vector<std::vector<int>>{Span(10, 19), Span(30, 37)}), run.archives);
    EXPECT_EQ((std::vector<Kind>{Kind::kStart, Kind::kEnd, Kind::kStart, Kind::kEnd}), run.notes);
}

TEST(MotionEventsClipTest, PreRollPostRollAndLightChangeMakeOneEventOfTheWalk) {
    DetectorSettings detector;
    detector.pre_roll_s = 1;
    detector.post_roll_s = 2;
    detector.frames_in_a_row = 2;
    detector.light_change_percent = kRecommendedLightChangePercent;
    const ClipRun run = RunClip(detector, 80);
    // The second moving frame (11) begins the event; the second before the first (10) begins its
    // archive; the pause is shorter than the post-roll; 2 s after the last motion (37) it ends.
    // The light change at 60 begins nothing.
    EXPECT_EQ((std::vector<std::vector<int>>{Span(0, 56)}), run.archives);
    EXPECT_EQ((std::vector<Kind>{Kind::kStart, Kind::kEnd, Kind::kLightChange}), run.notes);
}

TEST(MotionEventsClipTest, IgnoredAreaNeverCountsAsMotion) {
    DetectorSettings detector;
    // A mask of its own size: the object's rows, at half the frame's resolution.
    std::vector<uint8_t> rows(32 * 24, 0);
    for (int y = 10; y < 14; ++y) std::fill(rows.begin() + y * 32, rows.begin() + (y + 1) * 32, 1);
    const ClipRun run = RunClip(detector, 60, std::make_shared<const BlockMask>(32, 24, rows));
    EXPECT_TRUE(run.archives.empty());
}

TEST(MotionEventsClipTest, PreRollBeginsTheArchiveWithItsOwnStamps) {
    // On the calling thread, and through the encoders' writer.
    for (const int workers : {0, 2}) {
        TempFolder folder;
        CindralSettings settings;
        settings.frame_width = kWidth;
        settings.frame_height = -kHeight;
        settings.saving_mode = kSavingMotionDetector;
        DetectorSettings detector;
        detector.pre_roll_s = 1;
        CFrameArchive archive(folder.Folder());
        archive.SetEncodeWorkers(workers);
        archive.SetWaitsForEncoders(true);
        std::atomic<int> frame{0};             // the writer reads the clock too
        const std::time_t start = 1780000000;  // a whole second
        archive.SetClock(ArchiveClock{[&] { return static_cast<uint32_t>(frame.load() * kFrameMs); },
                                      [&] { return start + frame.load() * kFrameMs / 1000; }});
        std::string path;
        archive.SetFileCreatedCallback([&](const std::string& created) { path = created; });
        CFramePipeline pipeline(settings, archive, nullptr);
        pipeline.AttachSettings(true);
        pipeline.SetDetectorSettings(&detector);
        pipeline.SetFrameClock([&] { return frame.load() * kFrameMs; }, [&] { return frame.load() * kFrameMs; });
        for (frame = 0; frame < 25; ++frame) {
            const std::vector<uint8_t> pixels = ClipFrame(frame);
            pipeline.ProcessFrame(pixels.data(), pixels.size());
            archive.WaitForWrites();  // the writer reads the clock too
        }
        ASSERT_FALSE(archive.IsWriteOpen());
        archive.WaitForFlushes();
        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path)) << reader.GetLastError();
        // Frames 0 to 9 held, 10 to 19 moving.
        ASSERT_EQ(20, reader.GetFrameCount()) << workers;
        for (int32_t i = 0; i < 20; ++i) {
            reader.SeekFrame(i);
            // Each record carries the time its frame came: 100 ms apart from the first held one.
            EXPECT_NEAR(i * 0.1, (reader.GetFrameTime() - reader.GetFrameInfo(0).time_stamp) * 86400.0, 0.002)
                << workers << " workers, frame " << i;
            EXPECT_TRUE(reader.IsFrameDecoded()) << i;
        }
    }
}

}  // namespace
