// Damaged archives of every kind through the reader, under AddressSanitizer and
// UndefinedBehaviorSanitizer: nothing may crash, read out of bounds or allocate without bound.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <stdexcept>

#include "archive/archive_format.h"
#include "recorder/frame_archive.h"
#include "support/archive_test_support.h"

namespace fs = std::filesystem;
using archive_test::ReadBytes;
using archive_test::TempFolder;
using archive_test::WriteBytes;

namespace {

// A small archive written by the recorder: frames of unequal size, one of odd width.
std::vector<uint8_t> RecordSeedArchive(const TempFolder& folder) {
    CFrameArchive recorder(folder.Folder() + "seed/Storage/");
    fs::create_directories(folder.Folder() + "seed");
    for (int frame = 0; frame < 6; ++frame) {
        BMP_File image;
        const int width = frame == 2 ? 37 : 24 + 8 * frame;
        const int height = 16 + 4 * frame;
        image.Create(width, height);
        for (int32_t i = 0; i < image.GetBitsSize(); ++i)
            image.GetBits()[i] = static_cast<uint8_t>((i * 13 + frame * 71) % 251);
        if (!recorder.WriteFrame(image)) throw std::runtime_error("seed frame not written: " + recorder.GetLastError());
    }
    const std::string path = recorder.GetWritePath();
    recorder.CloseFile();
    return ReadBytes(path);
}

class Mutator {
public:
    explicit Mutator(uint32_t seed) : random_(seed) {}

    std::vector<uint8_t> Mutate(std::vector<uint8_t> bytes) {
        const int count = 1 + Below(4);
        for (int i = 0; i < count; ++i) MutateOnce(bytes);
        return bytes;
    }

private:
    uint32_t Below(uint32_t bound) {
        return bound == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_);
    }

    uint32_t InterestingNumber() {
        static constexpr uint32_t kValues[] = {0,          1,      2,      0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                               0xFFFFFFFE, 655359, 655360, 655361,     1000000,    23,
                                               24,         12,     18,     0x13572468, 4096,       65535};
        return Below(3) == 0 ? static_cast<uint32_t>(random_()) : kValues[Below(std::size(kValues))];
    }

    void MutateOnce(std::vector<uint8_t>& bytes) {
        const size_t size = bytes.size();
        switch (Below(9)) {
            case 0:  // flip bits
                if (size > 0) bytes[Below(static_cast<uint32_t>(size))] ^= static_cast<uint8_t>(1u << Below(8));
                break;
            case 1:  // random bytes
                for (uint32_t n = Below(16) + 1; n > 0 && size > 0; --n) {
                    bytes[Below(static_cast<uint32_t>(size))] = static_cast<uint8_t>(random_());
                }
                break;
            case 2:  // cut short
                bytes.resize(Below(static_cast<uint32_t>(size + 1)));
                break;
            case 3:  // a 32-bit field: the count, a record length, anything
                if (size >= 4) {
                    const size_t at = Below(3) == 0 ? 0 : Below(static_cast<uint32_t>(size - 3));
                    archive_format::WriteU32(bytes.data() + at, InterestingNumber());
                }
                break;
            case 4:  // a stray tag
            {
                const size_t at = Below(static_cast<uint32_t>(size + 1));
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), std::begin(archive_format::kJfifTag),
                             std::end(archive_format::kJfifTag));
                break;
            }
            case 5:  // insert or remove a run of bytes
            {
                const size_t at = Below(static_cast<uint32_t>(size + 1));
                const size_t length = Below(300) + 1;
                if (Below(2) == 0) {
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), length,
                                 static_cast<uint8_t>(random_()));
                } else {
                    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                bytes.begin() + static_cast<std::ptrdiff_t>(std::min(size, at + length)));
                }
                break;
            }
            case 6:  // duplicate a piece elsewhere (records, markers)
                if (size > 2) {
                    const size_t from = Below(static_cast<uint32_t>(size - 1));
                    const size_t length = std::min<size_t>(Below(2000) + 1, size - from);
                    const std::vector<uint8_t> piece(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                                     bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
                    const size_t at = Below(static_cast<uint32_t>(size + 1));
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
                }
                break;
            case 7:  // a time stamp: NaN, infinity, huge
                if (size >= 8) {
                    const double values[] = {std::nan(""), 1e308, -1e308, -0.0, 1e-310, 2958466.5, -657435.0};
                    archive_format::WriteDouble(bytes.data() + Below(static_cast<uint32_t>(size - 7)),
                                                values[Below(std::size(values))]);
                }
                break;
            default:  // damage the JPEG headers near a tag (frame size, tables, markers)
                for (size_t at = 0; at + 5 <= size; ++at) {
                    if (std::memcmp(bytes.data() + at, archive_format::kJfifTag, 5) == 0 && Below(3) == 0) {
                        const size_t target = at + 10 + Below(600);
                        if (target < size) bytes[target] = static_cast<uint8_t>(random_());
                    }
                }
                break;
        }
    }

    std::mt19937 random_;
};

// Snapshots are flushed to the disk before they are named; thousands of them go to a memory
// file system where there is one, so that the flushes do not make up the run.
class SnapshotFolder {
public:
    std::string File() const { return folder_.File("snapshot.jpg"); }

private:
    TempFolder folder_{fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()};
};

uint32_t SeedFromEnvironment() {
    const char* text = std::getenv("CINDRAL_MUTATION_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20261207u;
}

// How much of the reader the damaged files reached, so that the mutations are known to bite.
struct Reach {
    int decoded = 0;
    int refused = 0;
    int saved = 0;
};

// Reads one damaged file every way the program does and checks what the reader promises.
void ExerciseReader(const std::string& path, const std::string& snapshot_path, std::mt19937& random, Reach& reach) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    const int32_t count = reader.GetFrameCount();
    ASSERT_GE(count, 0);
    ASSERT_LE(count, std::max<int64_t>(0, (static_cast<int64_t>(bytes.size()) - 8) / 23));
    EXPECT_EQ(0.0, reader.GetFrameTime());

    auto check_frame = [&](int32_t frame) {
        reader.SeekFrame(frame);
        (reader.IsFrameDecoded() ? reach.decoded : reach.refused) += 1;
        const BMP_File& image = reader.GetFrameImage();
        ASSERT_EQ(static_cast<int64_t>(image.GetWidth()) * image.GetHeight() * 3, image.GetBitsSize());
        const cna_info_t& entry = reader.GetFrameInfo(frame);
        if (!entry.known) {
            EXPECT_FALSE(reader.IsFrameDecoded());
            return;
        }
        ASSERT_GE(entry.data_position, 20);
        fs::remove(snapshot_path);
        if (reader.SaveFrameJpeg(snapshot_path)) {
            ++reach.saved;
            const std::vector<uint8_t> saved = ReadBytes(snapshot_path);
            ASSERT_EQ(entry.data_length, saved.size());
            ASSERT_LE(saved.size(), archive_format::kMaxRecordBytes);
            ASSERT_LE(static_cast<size_t>(entry.data_position) + saved.size(), bytes.size());
            ASSERT_EQ(0, std::memcmp(saved.data(), bytes.data() + entry.data_position, saved.size()));
        } else {
            ASSERT_FALSE(fs::exists(snapshot_path));
        }
    };
    for (int32_t frame = 0; frame < std::min(count, 12); ++frame) check_frame(frame);
    // Jumps on a fresh reader, as the playback slider makes them, plus out-of-range numbers.
    CFrameArchive jumper;
    ASSERT_TRUE(jumper.OpenFile(path));
    for (int jump = 0; jump < 4 && count > 0; ++jump) {
        const int32_t frame = std::uniform_int_distribution<int32_t>(0, count - 1)(random);
        jumper.SeekFrame(frame);
        jumper.GetFrameTime();
        // A jump reaches the record that stepping reaches.
        const std::optional<ArchiveRecord> jumped = jumper.GetRecord(frame);
        const std::optional<ArchiveRecord> stepped = reader.GetRecord(frame);
        ASSERT_TRUE(jumped && stepped);
        ASSERT_EQ(stepped->start, jumped->start);
        ASSERT_EQ(static_cast<int64_t>(jumper.GetFrameImage().GetWidth()) * jumper.GetFrameImage().GetHeight() * 3,
                  jumper.GetFrameImage().GetBitsSize());
    }
    const int32_t current = jumper.GetCurrentFrame();
    jumper.SeekFrame(-1);
    jumper.SeekFrame(count);
    EXPECT_EQ(current, jumper.GetCurrentFrame());
}

}  // namespace

TEST(ArchiveMutation, DamagedArchivesNeverCrashTheReader) {
    TempFolder folder;
    const std::vector<uint8_t> seed = RecordSeedArchive(folder);
    ASSERT_GT(seed.size(), 100u);
    const uint32_t random_seed = SeedFromEnvironment();
    Mutator mutator(random_seed);
    std::mt19937 random(random_seed + 1);
    const std::string path = folder.File("damaged.CNA");
    const SnapshotFolder snapshots;
    const std::string snapshot = snapshots.File();
    constexpr int kArchives = 3000;
    Reach reach;
    for (int i = 0; i < kArchives; ++i) {
        const std::vector<uint8_t> damaged = mutator.Mutate(seed);
        WriteBytes(path, damaged);
        SCOPED_TRACE("archive " + std::to_string(i) + " of seed " + std::to_string(random_seed));
        ExerciseReader(path, snapshot, random, reach);
        if (HasFatalFailure()) {
            WriteBytes(folder.File("../cindral-mutation-failure.CNA"), damaged);
            return;
        }
    }
    // Most damage leaves some frames readable and refuses others; both paths must have been taken.
    EXPECT_GT(reach.decoded, kArchives);
    EXPECT_GT(reach.refused, kArchives / 10);
    EXPECT_GT(reach.saved, kArchives);
    std::printf("decoded %d, refused %d, saved %d frames\n", reach.decoded, reach.refused, reach.saved);
}

TEST(ArchiveMutation, ForeignFilesNeverCrashTheReader) {
    TempFolder folder;
    std::mt19937 random(SeedFromEnvironment());
    const std::string path = folder.File("foreign.CNA");
    const SnapshotFolder snapshots;
    for (int i = 0; i < 300; ++i) {
        // Random bytes with tags sprinkled in, and huge counts up front.
        std::vector<uint8_t> bytes(std::uniform_int_distribution<size_t>(0, 20000)(random));
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
        for (size_t at = 30; at + 5 < bytes.size(); at += 37 + random() % 900) {
            std::memcpy(bytes.data() + at, archive_format::kJfifTag, 5);
        }
        if (bytes.size() >= 4 && i % 2 == 0) archive_format::WriteU32(bytes.data(), 0x7FFFFFFF);
        WriteBytes(path, bytes);
        SCOPED_TRACE(i);
        Reach reach;
        ExerciseReader(path, snapshots.File(), random, reach);
        if (HasFatalFailure()) return;
    }
}

TEST(ArchiveMutation, RecorderPathsRunCleanUnderTheSanitizers) {
    // Frames of every shape, and noise that does not fit the old buffer at any quality and is
    // stored as a longer record; every stored frame must read back.
    TempFolder folder;
    CFrameArchive recorder(folder.Folder() + "Storage/");
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 2}, {322, 240}, {1280, 720}, {17, 333}, {1920, 1080}};
    int stored = 0;
    for (const auto& [width, height] : sizes) {
        BMP_File image;
        if (width == 1920) {
            archive_test::PaintNoise(image, width, height, 1);
        } else {
            archive_test::PaintScene(image, width, height, width);
        }
        stored += recorder.WriteFrame(image) ? 1 : 0;
    }
    EXPECT_GT(recorder.GetLastFrameBytes(), CFrameArchive::kJpegBufferSize);
    const std::string path = recorder.GetWritePath();
    EXPECT_TRUE(recorder.CloseFile());
    ASSERT_EQ(6, stored);

    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    ASSERT_EQ(6, reader.GetFrameCount());
    for (int32_t frame = 0; frame < 6; ++frame) {
        reader.SeekFrame(frame);
        ASSERT_TRUE(reader.IsFrameDecoded()) << frame << ": " << reader.GetLastError();
        EXPECT_EQ(sizes[frame].first, reader.GetFrameImage().GetWidth());
        EXPECT_EQ(sizes[frame].second, reader.GetFrameImage().GetHeight());
    }
}
