// The recorder with encoding threads: frames the encoders cannot take are dropped, counted and
// told once; held JPEGs are written in order with the frames around them; camera frames kept
// for the encoders are let go of once encoded, and store what converted planes would.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "recorder/frame_archive.h"
#include "recorder/frame_pipeline.h"
#include "recorder/recorder_monitor.h"
#include "support/archive_test_support.h"
#include "support/temp_folder.h"

namespace {

struct RecordedEvents {
    std::mutex mutex;
    std::vector<RecorderEvent> events;
    int Count(RecorderEvent::Kind kind) {
        const std::lock_guard<std::mutex> lock(mutex);
        int count = 0;
        for (const RecorderEvent& event : events) count += event.kind == kind ? 1 : 0;
        return count;
    }
};

TEST(EncodingRecorderTest, FramesTheEncodersCannotTakeAreDroppedCountedAndToldOnce) {
    TempFolder folder;
    CFrameArchive archive(folder.Folder());
    archive.SetEncodeWorkers(1);
    CRecorderMonitor monitor(archive);
    RecordedEvents told;
    monitor.SetEventHandler([&](const RecorderEvent& event) {
        const std::lock_guard<std::mutex> lock(told.mutex);
        told.events.push_back(event);
    });
    // Noise takes the encoder far longer than the copy takes the caller.
    BMP_File picture;
    archive_test::PaintNoise(picture, 1920, 1080, 7);
    int taken = 0;
    for (int frame = 0; frame < 30; ++frame) taken += monitor.WriteFrame(picture) ? 1 : 0;
    // A file read as fast as it goes waits for the encoder instead.
    archive.SetWaitsForEncoders(true);
    for (int frame = 0; frame < 8; ++frame) EXPECT_TRUE(monitor.WriteFrame(picture)) << frame;
    monitor.CloseFile();
    archive.WaitForWrites();

    const CRecorderMonitor::Status status = monitor.GetStatus();
    EXPECT_GT(status.dropped_frames, 0);
    EXPECT_EQ(status.dropped_frames + status.stored_frames, 38);
    EXPECT_EQ(status.stored_frames, taken + 8);
    EXPECT_EQ(archive.GetEncodeCounts().dropped, status.dropped_frames);
    EXPECT_EQ(told.Count(RecorderEvent::Kind::kDropped), 1);
    ASSERT_EQ(told.Count(RecorderEvent::Kind::kFileStarted), 1);
    std::string path;
    for (const RecorderEvent& event : told.events) {
        if (event.kind == RecorderEvent::Kind::kFileStarted) path = event.path;
    }
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    EXPECT_EQ(reader.GetFrameCount(), status.stored_frames);
}

TEST(EncodingRecorderTest, FramesWithoutRoomForTheirPlanesAreDroppedAndCountedLikeTheOthers) {
    TempFolder folder;
    CFrameArchive archive(folder.Folder());
    archive.SetEncodeWorkers(1);
    CRecorderMonitor monitor(archive);
    // Noise planes: the encoder takes far longer than the pass that writes them.
    constexpr int32_t kWidth = 1920, kHeight = 1080;
    std::vector<uint8_t> noise(static_cast<size_t>(kWidth) * kHeight);
    uint32_t state = 7;
    for (uint8_t& byte : noise) byte = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
    constexpr int kFrames = 30;
    int lent = 0;
    for (int frame = 0; frame < kFrames; ++frame) {
        JpegPlaneRoom* room = monitor.LendPlanes(kWidth, kHeight);
        if (room == nullptr) continue;  // dropped: the recorder counts it
        ++lent;
        JpegYuvPlanes planes;
        planes.width = kWidth;
        planes.height = kHeight;
        for (int plane = 0; plane < 3; ++plane) {
            const int32_t rows = plane == 0 ? kHeight : kHeight / 2;
            const int32_t width = plane == 0 ? kWidth : kWidth / 2;
            for (int32_t row = 0; row < rows; ++row) {
                std::memcpy(room->planes[plane] + static_cast<size_t>(row) * room->strides[plane],
                            noise.data() + static_cast<size_t>(row) * width, static_cast<size_t>(width));
            }
            planes.planes[plane] = room->planes[plane];
            planes.strides[plane] = room->strides[plane];
        }
        CleanFrame clean;
        clean.width = kWidth;
        clean.height = kHeight;
        clean.planes = &planes;
        EXPECT_TRUE(monitor.WriteCleanFrame(clean)) << frame;
    }
    monitor.CloseFile();
    archive.WaitForWrites();

    const CRecorderMonitor::Status status = monitor.GetStatus();
    EXPECT_LT(lent, kFrames);
    EXPECT_EQ(status.stored_frames, lent);
    EXPECT_EQ(status.dropped_frames, kFrames - lent);
    EXPECT_EQ(archive.GetEncodeCounts().dropped, kFrames - lent);
}

TEST(EncodingRecorderTest, HeldJpegsGoThroughTheSameWriterInOrderWithTheirOwnStamps) {
    TempFolder folder;
    CFrameArchive archive(folder.Folder());
    archive.SetEncodeWorkers(2);
    archive.SetWaitsForEncoders(true);
    std::vector<std::vector<uint8_t>> stored;  // what the writer says it stored, in order
    archive.SetRecordStoredCallback(
        [&](const uint8_t* jpeg, uint32_t size) { stored.emplace_back(jpeg, jpeg + size); });
    std::string path;
    archive.SetFileCreatedCallback([&](const std::string& created) { path = created; });
    // Held frames first (a pre-roll), then frames encoded here, then one more held frame.
    const double held_stamps[] = {46000.25, 46000.5, 46000.75};
    const std::vector<uint8_t> held = archive_test::EncodeScene(160, 120, 1);
    EXPECT_TRUE(archive.WriteEncodedFrame(held, 160, 120, held_stamps[0]));
    EXPECT_TRUE(archive.WriteEncodedFrame(held, 160, 120, held_stamps[1]));
    BMP_File picture;
    archive_test::PaintScene(picture, 160, 120, 2);
    for (int frame = 0; frame < 5; ++frame) EXPECT_TRUE(archive.WriteFrame(picture));
    EXPECT_TRUE(archive.WriteEncodedFrame(held, 160, 120, held_stamps[2]));
    archive.CloseFile();
    archive.WaitForWrites();

    ASSERT_EQ(stored.size(), 8u);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    ASSERT_EQ(reader.GetFrameCount(), 8);
    for (const int32_t frame : {0, 1, 7}) {
        std::vector<uint8_t> jpeg;
        ASSERT_TRUE(reader.ReadFrameJpeg(frame, jpeg));
        EXPECT_EQ(jpeg, held) << frame;
        EXPECT_EQ(jpeg, stored[static_cast<size_t>(frame)]) << frame;
        reader.SeekFrame(frame);
        EXPECT_DOUBLE_EQ(reader.GetFrameTime(), held_stamps[frame == 7 ? 2 : frame]) << frame;
    }
    for (int32_t frame = 2; frame < 7; ++frame) {
        std::vector<uint8_t> jpeg;
        ASSERT_TRUE(reader.ReadFrameJpeg(frame, jpeg));
        EXPECT_NE(jpeg, held) << frame;
        EXPECT_EQ(jpeg, stored[static_cast<size_t>(frame)]) << frame;
    }
}

TEST(EncodingRecorderTest, HeldFramesAreEncodedByTheWorkersAndWrittenFirstWhenAnEventBeginsWithoutADrop) {
    for (const int workers : {1, 2}) {
        TempFolder folder;
        CFrameArchive archive(folder.Folder());
        // Frames come 100 ms apart; the clock is the one records are stamped by.
        std::atomic<int64_t> now_ms{0};        // the writer reads the clock too
        const std::time_t start = 1780000000;  // a whole second
        archive.SetClock(ArchiveClock{[&] { return static_cast<uint32_t>(now_ms.load()); },
                                      [&] { return start + static_cast<std::time_t>(now_ms.load() / 1000); }});
        archive.SetEncodeWorkers(workers);  // a live source: a busy encoder drops the frame
        std::string path;
        archive.SetFileCreatedCallback([&](const std::string& created) { path = created; });
        BMP_File picture;
        const auto clean_frame = [&](int frame) {
            archive_test::PaintScene(picture, 320, 240, frame);
            CleanFrame clean;
            clean.width = 320;
            clean.height = 240;
            clean.picture = &picture;
            return clean;
        };
        // Twelve quiet frames held, a second kept: the first goes by its time.
        for (int frame = 0; frame < 12; ++frame) {
            now_ms = frame * 100;
            archive.HoldCleanFrame(clean_frame(frame), now_ms, now_ms.load() - 1000);
            archive.WaitForWrites();  // the camera's pace, which the encoders keep up with
        }
        EXPECT_EQ(archive.GetHeldStatus().span_ms, 1000);
        // The event begins with frame 3: nine held frames and four new ones at once, more than
        // the encoders have jobs for.
        // Said before the writer has let go of frames 1 and 2 by their time.
        EXPECT_EQ(archive.WriteHeldFrames(300), 11);
        for (int frame = 12; frame < 16; ++frame) {
            now_ms = frame * 100;
            EXPECT_TRUE(archive.WriteCleanFrame(clean_frame(frame))) << frame;
        }
        archive.CloseFile();
        archive.WaitForWrites();
        // Frames held after the event and let go of are never stored.
        archive.HoldCleanFrame(clean_frame(16), 1600, 600);
        archive.LetGoOfHeldFrames();
        archive.WaitForWrites();
        EXPECT_EQ(archive.GetHeldStatus().bytes, 0u);
        EXPECT_EQ(archive.GetEncodeCounts().dropped, 0) << workers;
        EXPECT_EQ(archive.GetEncodeCounts().frames, 17) << workers;  // held frames too, on the workers

        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path)) << workers;
        ASSERT_EQ(reader.GetFrameCount(), 13) << workers;
        for (int32_t record = 0; record < 13; ++record) {
            reader.SeekFrame(record);
            EXPECT_TRUE(reader.IsFrameDecoded()) << record;
            // Frame 3 + record, stamped when it came.
            EXPECT_NEAR((reader.GetFrameTime() - reader.GetFrameInfo(0).time_stamp) * 86400.0, record * 0.1, 0.002)
                << workers << " workers, record " << record;
        }
    }
}

// Keeps frames whose bytes outlive the recording, refusing every third one.
class RefusingKeeper : public ICameraFrameKeeper {
public:
    void* Keep(CameraFrame&) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (++asked_ % 3 == 0) return nullptr;
        ++kept_;
        return this;
    }
    void LetGo(void* token) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (token == this) --kept_;
    }
    int Asked() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return asked_;
    }
    int Kept() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return kept_;
    }

private:
    std::mutex mutex_;
    int asked_ = 0;
    int kept_ = 0;
};

TEST(EncodingRecorderTest, KeptCameraFramesAreLetGoOfOnceEncodedAndStoreWhatConvertedPlanesWould) {
    constexpr int32_t kWidth = 70;
    constexpr int32_t kHeight = 45;
    constexpr int kFrames = 12;
    std::vector<std::vector<uint8_t>> frames;
    for (int frame = 0; frame < kFrames; ++frame) {
        std::vector<uint8_t> bytes(kWidth * kHeight + 2 * ((kWidth + 1) / 2) * ((kHeight + 1) / 2));
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 13 + frame * 31) % 251);
        frames.push_back(std::move(bytes));
    }
    // The same frames, kept (two of three) and not.
    std::vector<std::vector<uint8_t>> records[2];
    RefusingKeeper keeper;
    for (const bool is_kept : {true, false}) {
        TempFolder folder;
        CFrameArchive archive(folder.Folder());
        archive.SetEncodeWorkers(2);
        archive.SetWaitsForEncoders(true);
        std::string path;
        archive.SetFileCreatedCallback([&](const std::string& created) { path = created; });
        CindralSettings settings;
        settings.frame_width = kWidth;
        settings.frame_height = -kHeight;
        settings.saving_mode = kSavingAlways;
        CFramePipeline pipeline(settings, archive, nullptr);
        pipeline.AttachSettings(true);
        for (const std::vector<uint8_t>& bytes : frames) {
            CameraFrame frame = archive_test::I420Frame(kWidth, kHeight, bytes);
            if (is_kept) frame.keeper = &keeper;
            pipeline.ProcessFrame(frame);
        }
        archive.CloseFile();
        archive.WaitForWrites();
        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path));
        ASSERT_EQ(reader.GetFrameCount(), kFrames);
        for (int32_t record = 0; record < kFrames; ++record) {
            records[is_kept ? 0 : 1].emplace_back();
            ASSERT_TRUE(reader.ReadFrameJpeg(record, records[is_kept ? 0 : 1].back()));
        }
    }
    EXPECT_EQ(keeper.Asked(), kFrames);
    EXPECT_EQ(keeper.Kept(), 0);
    EXPECT_EQ(records[0], records[1]);
}

}  // namespace
