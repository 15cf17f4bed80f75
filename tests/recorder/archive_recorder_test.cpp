#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/ole_date.h"
#include "recorder/frame_archive.h"
#include "recorder/frame_pipeline.h"
#include "support/archive_test_support.h"
#include "support/file_size_limit.h"

using namespace archive_test;
namespace fs = std::filesystem;

namespace {

// The time_t whose local time is the given wall-clock time, whatever the machine's zone.
std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    return std::mktime(&fields);
}

std::vector<fs::path> ArchivesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Every counted record of the archive, read in order; fails the test on any frame that does not decode.
int32_t CountDecodableFrames(const std::string& path) {
    CFrameArchive reader;
    EXPECT_TRUE(reader.OpenFile(path)) << reader.GetLastError();
    for (int32_t frame = 0; frame < reader.GetFrameCount(); ++frame) {
        reader.SeekFrame(frame);
        EXPECT_TRUE(reader.IsFrameDecoded()) << path << " frame " << frame << ": " << reader.GetLastError();
        if (!reader.IsFrameDecoded()) return frame;
    }
    return reader.GetFrameCount();
}

}  // namespace

TEST(Recorder, WritesTheExactByteLayout) {
    TempFolder folder;
    ManualClock clock;
    clock.wall_seconds = LocalTime(2009, 1, 1, 18, 0, 0);
    BMP_File image;
    PaintScene(image, 64, 48, 0);
    std::string path;
    {
        CFrameArchive recorder(folder.Folder() + "Storage/");
        recorder.SetClock(clock.Make());
        ASSERT_TRUE(recorder.WriteFrame(image)) << recorder.GetLastError();
        path = recorder.GetWritePath();
        clock.Advance(250);
        recorder.CloseFile();
        EXPECT_FALSE(recorder.IsWriteOpen());
    }
    const std::vector<uint8_t> expected_jpeg = EncodeScene(64, 48, 0);
    const std::vector<uint8_t> bytes = ReadBytes(path);
    const size_t n = expected_jpeg.size();
    ASSERT_EQ(8 + 12 + n + 16, bytes.size());
    EXPECT_EQ(1, archive_format::ReadI32(bytes.data()));
    // Bytes 4 to 7 keep the upper half of the creation stamp, 39814.75.
    uint8_t stamp[8];
    archive_format::WriteDouble(stamp, 39814.75);
    EXPECT_EQ(0, std::memcmp(stamp + 4, bytes.data() + 4, 4));
    EXPECT_DOUBLE_EQ(39814.75, archive_format::ReadDouble(bytes.data() + 8));
    EXPECT_EQ(n, archive_format::ReadU32(bytes.data() + 16));
    EXPECT_EQ(0, std::memcmp(expected_jpeg.data(), bytes.data() + 20, n));
    const uint8_t* trailer = bytes.data() + 20 + n;
    EXPECT_DOUBLE_EQ(39814.75, archive_format::ReadDouble(trailer));  // whole seconds
    EXPECT_EQ((std::vector<uint8_t>{0x68, 0x24, 0x57, 0x13}), std::vector<uint8_t>(trailer + 8, trailer + 12));
    EXPECT_EQ(1, archive_format::ReadI32(trailer + 12));
}

TEST(Recorder, StampsKeepTheirOrderWithinASecondAndAcrossMidnight) {
    TempFolder folder;
    ManualClock clock;
    clock.wall_seconds = LocalTime(2009, 1, 1, 23, 59, 58);
    BMP_File image;
    PaintScene(image, 32, 32, 0);
    CFrameArchive recorder(folder.Folder() + "Storage/");
    recorder.SetClock(clock.Make());
    // Five frames per second from 23:59:58 to 00:00:03.
    for (int i = 0; i < 26; ++i) {
        ASSERT_TRUE(recorder.WriteFrame(image));
        clock.Advance(200);
    }
    const std::string path = recorder.GetWritePath();
    recorder.CloseFile();
    EXPECT_EQ(fs::path(folder.Folder()) / "Storage" / "20090101", fs::path(path).parent_path());
    EXPECT_EQ(1u, ArchivesIn(fs::path(folder.Folder()) / "Storage").size());

    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    ASSERT_EQ(26, reader.GetFrameCount());
    double previous = 0;
    for (int32_t frame = 0; frame < 26; ++frame) {
        ASSERT_TRUE(reader.LocateFrame(frame));
        const double stamp = reader.GetFrameTime();
        EXPECT_GT(stamp, previous) << frame;
        previous = stamp;
    }
    reader.LocateFrame(0);
    const double first = reader.GetFrameTime();
    reader.LocateFrame(1);
    EXPECT_NEAR(200.0 / 86400000.0, reader.GetFrameTime() - first, 1e-9);
    const auto first_day = OleDateToCalendar(first);
    const auto last_day = OleDateToCalendar(previous);
    ASSERT_TRUE(first_day && last_day);
    EXPECT_EQ(1, first_day->day);
    EXPECT_EQ(2, last_day->day);
    EXPECT_EQ(3, last_day->second);
}

TEST(Recorder, StampsStayInOrderWhenTheWallClocksSecondIsSeenLateAndStartAgainAMinuteApart) {
    uint32_t tick_ms = 5000;
    std::time_t wall_s = LocalTime(2009, 1, 1, 18, 0, 0);
    const ArchiveClock clock{[&] { return tick_ms; }, [&] { return wall_s; }};
    RecordStampClock stamps(&clock);
    stamps.StartFile();
    const double second_start = stamps.NextRecordStamp();
    // The wall clock turns over 4 ms after the tick says a second went by: records in those
    // 4 ms are still in the old second and must not jump back to its start.
    tick_ms += 999;
    const double late_in_second = stamps.NextRecordStamp();
    tick_ms += 3;
    const double past_the_tick_second = stamps.NextRecordStamp();
    EXPECT_GT(late_in_second, second_start);
    EXPECT_GE(past_the_tick_second, late_in_second);
    wall_s += 1;
    tick_ms += 1;
    EXPECT_GT(stamps.NextRecordStamp(), past_the_tick_second);
    // A record exactly a minute later is at the start of its second.
    wall_s += 60;
    tick_ms += 60000;
    const double next_minute = stamps.NextRecordStamp();
    EXPECT_NEAR(std::floor(next_minute * 86400.0 + 1e-6), next_minute * 86400.0, 1e-4);
}

TEST(Recorder, NamesFilesByTheSignedTickAndNeverOverwrites) {
    TempFolder folder;
    ManualClock clock;
    clock.wall_seconds = LocalTime(2026, 3, 4, 12, 0, 0);
    const fs::path day = fs::path(folder.Folder()) / "Storage" / "20260304";
    BMP_File image;
    PaintScene(image, 32, 32, 0);
    CFrameArchive recorder(folder.Folder() + "Storage/");
    recorder.SetClock(clock.Make());

    clock.tick_ms = 2147483647u;
    ASSERT_TRUE(recorder.WriteFrame(image));
    EXPECT_EQ(day / "2147483647.CNA", fs::path(recorder.GetWritePath()));
    recorder.CloseFile();
    clock.tick_ms = 2147483648u;
    ASSERT_TRUE(recorder.WriteFrame(image));
    EXPECT_EQ(day / "-2147483648.CNA", fs::path(recorder.GetWritePath()));
    recorder.CloseFile();
    clock.tick_ms = 4000000000u;
    ASSERT_TRUE(recorder.WriteFrame(image));
    EXPECT_EQ(day / "-294967296.CNA", fs::path(recorder.GetWritePath()));
    recorder.CloseFile();

    // The same tick again (after a restart of the system): the old archive stays as it was.
    const std::vector<uint8_t> old_bytes = ReadBytes((day / "2147483647.CNA").string());
    std::vector<std::string> created;
    recorder.SetFileCreatedCallback([&](const std::string& path) { created.push_back(path); });
    clock.tick_ms = 2147483647u;
    ASSERT_TRUE(recorder.WriteFrame(image));
    ASSERT_TRUE(recorder.WriteFrame(image));
    recorder.CloseFile();
    EXPECT_EQ(old_bytes, ReadBytes((day / "2147483647.CNA").string()));
    ASSERT_EQ(1u, created.size());
    EXPECT_EQ(day / "2147483647_1.CNA", fs::path(created[0]));
    EXPECT_EQ(2, CountDecodableFrames(created[0]));
}

TEST(Recorder, MotionEpisodesBecomeOneFinishedFileEach) {
    TempFolder folder;
    CindralSettings settings;
    settings.frame_width = 32;
    settings.frame_height = 24;
    settings.saving_mode = kSavingMotionDetector;
    CFrameArchive recorder(folder.Folder() + "Storage/");
    ManualClock clock;
    recorder.SetClock(clock.Make());
    CFramePipeline pipeline(settings, recorder, nullptr);
    pipeline.AttachSettings(true);

    // Scene number per frame: it changes (motion) in frames 3, 4, 5 and 9 only.
    const int scene_of_frame[] = {0, 0, 0, 1, 2, 3, 3, 3, 3, 4, 4, 4};
    for (const int scene : scene_of_frame) {
        std::vector<uint8_t> frame(32 * 24 * 4, static_cast<uint8_t>(20 + 50 * scene));
        pipeline.ProcessFrame(frame.data(), frame.size());
        clock.Advance(40);
    }
    const std::vector<fs::path> files = ArchivesIn(fs::path(folder.Folder()) / "Storage");
    ASSERT_EQ(2u, files.size());
    // Names come from the tick: order them by the time they were made.
    std::vector<int32_t> counts;
    for (const fs::path& file : files) {
        const auto trailer = archive_format::ReadTrailer(file.string());
        ASSERT_TRUE(trailer.has_value()) << file;
        EXPECT_EQ(CountDecodableFrames(file.string()), trailer->record_count);
        counts.push_back(trailer->record_count);
    }
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ((std::vector<int32_t>{1, 3}), counts);
}

TEST(Recorder, FinishesOnCloseAndOnDestructionButNotOnIdleClose) {
    TempFolder folder;
    BMP_File image;
    PaintScene(image, 40, 30, 0);
    std::string path;
    {
        CFrameArchive recorder(folder.Folder() + "Storage/");
        EXPECT_TRUE(recorder.CloseFile());  // idle: nothing happens
        EXPECT_TRUE(ArchivesIn(folder.Path()).empty());
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(recorder.WriteFrame(image));
        path = recorder.GetWritePath();
        // A reader sees the records written so far while the file is still open.
        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path));
        EXPECT_EQ(3, reader.GetFrameCount());
        EXPECT_FALSE(archive_format::ReadTrailer(path).has_value());
    }
    const auto trailer = archive_format::ReadTrailer(path);
    ASSERT_TRUE(trailer.has_value());
    EXPECT_EQ(3, trailer->record_count);
    EXPECT_EQ(3, CountDecodableFrames(path));
}

TEST(Recorder, EveryFrameIsStoredWhateverItsJpegSizeOnlyAnEmptyOneIsNot) {
    TempFolder folder;
    CFrameArchive recorder(folder.Folder() + "Storage/");
    BMP_File empty;
    EXPECT_FALSE(recorder.WriteFrame(empty));
    EXPECT_FALSE(recorder.IsWriteOpen());
    EXPECT_TRUE(ArchivesIn(folder.Path()).empty());  // no empty file for a frame that was never stored

    // Sensor noise at full HD, and a 4K picture of it: neither fits 640 KiB at quality 75.
    struct Case {
        int32_t width;
        int32_t height;
    };
    const Case cases[] = {{64, 48}, {1920, 1080}, {3840, 2160}, {64, 48}};
    for (const Case& size : cases) {
        BMP_File frame;
        PaintNoise(frame, size.width, size.height, 99u + static_cast<uint32_t>(size.width));
        ASSERT_TRUE(recorder.WriteFrame(frame)) << size.width << ": " << recorder.GetLastError();
        const bool is_small = size.width == 64;
        EXPECT_EQ(is_small ? 75 : 50, recorder.GetLastFrameQuality()) << size.width;
        EXPECT_EQ(!is_small, recorder.GetLastFrameBytes() > CFrameArchive::kJpegBufferSize) << size.width;
    }
    const std::string path = recorder.GetWritePath();
    EXPECT_TRUE(recorder.CloseFile());
    EXPECT_EQ(4, archive_format::ReadTrailer(path)->record_count);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    for (int32_t frame = 0; frame < 4; ++frame) {
        reader.SeekFrame(frame);
        ASSERT_TRUE(reader.IsFrameDecoded()) << frame << ": " << reader.GetLastError();
        EXPECT_EQ(cases[frame].width, reader.GetFrameImage().GetWidth());
        EXPECT_EQ(cases[frame].height, reader.GetFrameImage().GetHeight());
    }
}

TEST(Recorder, StoresNoPictureLargerThanTheReaderTakes) {
    TempFolder folder;
    CFrameArchive recorder(folder.Folder() + "Storage/");
    BMP_File widest;
    PaintScene(widest, JpegCodec::kMaxDecodeDimension, 8, 0);
    ASSERT_TRUE(recorder.WriteFrame(widest)) << recorder.GetLastError();
    BMP_File wider;
    PaintScene(wider, JpegCodec::kMaxDecodeDimension + 1, 8, 0);
    EXPECT_FALSE(recorder.WriteFrame(wider));
    EXPECT_NE(std::string::npos, recorder.GetLastError().find("8193x8 pixels is larger than an archive holds"))
        << recorder.GetLastError();
    const std::string path = recorder.GetWritePath();
    EXPECT_TRUE(recorder.CloseFile());
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    ASSERT_EQ(1, reader.GetFrameCount());
    reader.SeekFrame(0);
    EXPECT_TRUE(reader.IsFrameDecoded()) << reader.GetLastError();
}

TEST(Recorder, StaysIdleWhenTheFileCannotBeCreatedAndTriesAgain) {
    TempFolder folder;
    // A plain file where the storage folder belongs.
    WriteBytes(folder.File("Storage"), {1, 2, 3});
    BMP_File image;
    PaintScene(image, 32, 32, 0);
    CFrameArchive recorder(folder.Folder() + "Storage/");
    EXPECT_FALSE(recorder.WriteFrame(image));
    EXPECT_FALSE(recorder.IsWriteOpen());
    EXPECT_NE(std::string::npos, recorder.GetLastError().find("cannot create archive")) << recorder.GetLastError();
    EXPECT_TRUE(recorder.CloseFile());

    fs::remove(folder.File("Storage"));
    ASSERT_TRUE(recorder.WriteFrame(image)) << recorder.GetLastError();
    EXPECT_TRUE(recorder.IsWriteOpen());

    CFrameArchive no_folder;
    EXPECT_FALSE(no_folder.WriteFrame(image));
    EXPECT_FALSE(no_folder.IsWriteOpen());

    // No room even for the header: the new file is removed again, nothing half-made stays.
    recorder.CloseFile();
    const size_t files_before = ArchivesIn(folder.Path()).size();
    {
        FileSizeLimit limit(4);
        ASSERT_TRUE(limit.IsSet());
        EXPECT_FALSE(recorder.WriteFrame(image));
    }
    EXPECT_FALSE(recorder.IsWriteOpen());
    EXPECT_EQ(files_before, ArchivesIn(folder.Path()).size());
    EXPECT_TRUE(recorder.WriteFrame(image));
}

TEST(Recorder, ShortWritesNeverLeaveAPartialRecordBehind) {
    TempFolder folder;
    BMP_File image;
    PaintScene(image, 160, 120, 0);
    const size_t record_size = 12 + EncodeScene(160, 120, 0).size();
    CFrameArchive recorder(folder.Folder() + "Storage/");
    std::string path;
    int failures = 0;
    {
        // Room for the header, two and a half records: the third and later appends run short.
        FileSizeLimit limit(8 + record_size * 5 / 2);
        ASSERT_TRUE(limit.IsSet());
        for (int i = 0; i < 6; ++i) failures += recorder.WriteFrame(image) ? 0 : 1;
        path = recorder.GetWritePath();
        EXPECT_NE(std::string::npos, recorder.GetLastError().find("File too large")) << recorder.GetLastError();
        // Space comes back (files deleted elsewhere): recording goes on in the same file.
    }
    EXPECT_EQ(4, failures);
    ASSERT_TRUE(recorder.WriteFrame(image)) << recorder.GetLastError();
    EXPECT_EQ(path, recorder.GetWritePath());
    recorder.CloseFile();
    EXPECT_EQ(8 + 3 * record_size + 16, fs::file_size(path));
    EXPECT_EQ(3, archive_format::ReadTrailer(path)->record_count);
    EXPECT_EQ(3, CountDecodableFrames(path));
}

TEST(Recorder, TrailerThatDoesNotFitLeavesACountedFile) {
    TempFolder folder;
    BMP_File image;
    PaintScene(image, 160, 120, 0);
    const size_t record_size = 12 + EncodeScene(160, 120, 0).size();
    CFrameArchive recorder(folder.Folder() + "Storage/");
    std::string path;
    {
        FileSizeLimit limit(8 + 2 * record_size + 10);
        ASSERT_TRUE(limit.IsSet());
        ASSERT_TRUE(recorder.WriteFrame(image));
        ASSERT_TRUE(recorder.WriteFrame(image));
        path = recorder.GetWritePath();
        EXPECT_FALSE(recorder.CloseFile());  // said, not reported as success
        EXPECT_EQ("cannot write the trailer of: File too large", recorder.GetLastErrorCause());
    }
    EXPECT_FALSE(recorder.IsWriteOpen());
    EXPECT_EQ(8 + 2 * record_size, fs::file_size(path));
    EXPECT_FALSE(archive_format::ReadTrailer(path).has_value());
    EXPECT_EQ(2, CountDecodableFrames(path));
}

TEST(Recorder, ReaderAndRecorderCodeAtTheSameTime) {
    TempFolder folder;
    CFrameArchive recorder(folder.Folder() + "Storage/");
    BMP_File first;
    PaintScene(first, 320, 240, 0);
    ASSERT_TRUE(recorder.WriteFrame(first));
    const std::string path = recorder.GetWritePath();
    std::atomic<bool> is_recording{true};
    std::thread writer([&] {
        BMP_File image;
        for (int i = 1; i < 40; ++i) {
            PaintScene(image, 320, 240, i);
            recorder.WriteFrame(image);
        }
        is_recording = false;
    });
    int rounds = 0;
    bool is_all_decoded = true;
    while (is_recording || rounds == 0) {
        CFrameArchive reader;
        ASSERT_TRUE(reader.OpenFile(path));
        for (int32_t frame = 0; frame < reader.GetFrameCount(); ++frame) {
            reader.SeekFrame(frame);
            is_all_decoded = is_all_decoded && reader.IsFrameDecoded() && reader.GetFrameImage().GetWidth() == 320;
        }
        ++rounds;
    }
    writer.join();
    EXPECT_TRUE(is_all_decoded);
    recorder.CloseFile();
    EXPECT_EQ(40, CountDecodableFrames(path));
}

TEST(Recorder, FlushesAboutOnceASecondOffItsThreadThenTheFinishedFileWithItsFolders) {
    TempFolder folder;
    ManualClock clock;
    struct Flush {
        std::string what;  // "data <inode>" or "folder <path>"
        std::thread::id thread;
    };
    std::mutex mutex;
    std::vector<Flush> flushes;
    std::atomic<bool> is_failing{false};
    FileSync sync{[&](int fd) {
                      struct stat status {};
                      ::fstat(fd, &status);
                      const std::lock_guard<std::mutex> lock(mutex);
                      flushes.push_back({"data " + std::to_string(status.st_ino), std::this_thread::get_id()});
                      errno = EIO;
                      return !is_failing.load();
                  },
                  [&](const std::string& path) {
                      const std::lock_guard<std::mutex> lock(mutex);
                      flushes.push_back({"folder " + path, std::this_thread::get_id()});
                      return true;
                  }};
    CFrameArchive recorder(folder.Folder() + "Storage/");
    recorder.SetClock(clock.Make());
    recorder.SetFileSync(sync);
    BMP_File picture;
    picture.Create(32, 24);
    // 2.5 s of frames 100 ms apart: flushed at 1 s and 2 s, not for every frame.
    for (int frame = 0; frame < 25; ++frame) {
        ASSERT_TRUE(recorder.WriteFrame(picture)) << recorder.GetLastError();
        recorder.WaitForFlushes();
        clock.Advance(100);
    }
    const std::string path = recorder.GetWritePath();
    struct stat archive_status {};
    ASSERT_EQ(0, ::stat(path.c_str(), &archive_status));
    const std::string data = "data " + std::to_string(archive_status.st_ino);
    ASSERT_TRUE(recorder.CloseFile());
    recorder.WaitForFlushes();
    std::vector<std::string> seen;
    for (const Flush& flush : flushes) {
        seen.push_back(flush.what);
        EXPECT_NE(std::this_thread::get_id(), flush.thread) << flush.what;
    }
    const std::string day_folder = fs::path(path).parent_path().string() + "/";
    EXPECT_EQ(
        (std::vector<std::string>{data, data, data, "folder " + day_folder, "folder " + folder.Folder() + "Storage/"}),
        seen);

    // A flush that fails may have lost the last second: the frame after it says so.
    is_failing = true;
    for (int frame = 0; frame <= 10; ++frame) {
        ASSERT_TRUE(recorder.WriteFrame(picture));
        recorder.WaitForFlushes();
        clock.Advance(100);
    }
    EXPECT_FALSE(recorder.WriteFrame(picture));
    EXPECT_EQ("cannot flush the archive: Input/output error", recorder.GetLastErrorCause());
}
