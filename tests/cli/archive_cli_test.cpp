#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "recorder/frame_archive.h"
#include "support/archive_test_support.h"
#include "support/cli_runner.h"
#include "support/files.h"
#include "support/recorded_archive.h"

using namespace archive_test;
namespace fs = std::filesystem;

namespace {

// An archive as the recorder writes it: frames of a moving scene, unequal in size.
std::string RecordMovingScene(const TempFolder& folder, int frame_count) {
    ManualClock clock;
    BMP_File image;
    return RecordArchive(
        folder.Folder() + "Storage/", frame_count,
        [&](int i) -> const BMP_File& {
            if (i > 0) clock.Advance(130);
            // Every third frame is four times as large, so a jump can land on a neighbour.
            PaintScene(image, i % 3 == 0 ? 320 : 160, i % 3 == 0 ? 240 : 120, i);
            return image;
        },
        [&](CFrameArchive& recorder) { recorder.SetClock(clock.Make()); });
}

bool IsOneLine(const std::string& text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

}  // namespace

TEST(ArchiveCli, InfoListsEveryFrameAsTheReaderFindsIt) {
    TempFolder folder;
    const std::string path = RecordMovingScene(folder, 7);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    for (int32_t frame = 0; frame < 7; ++frame) ASSERT_TRUE(reader.LocateFrame(frame));

    const CommandResult text = RunCli({"info", path});
    ASSERT_EQ(0, text.exit_code) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("count: 7\n"));
    EXPECT_NE(std::string::npos, text.out.find("trailer: count 7, time "));
    for (int32_t frame = 0; frame < 7; ++frame) {
        const cna_info_t& entry = reader.GetFrameInfo(frame);
        const std::string expected =
            "length " + std::to_string(entry.data_length) + ", position " + std::to_string(entry.data_position) + "\n";
        EXPECT_NE(std::string::npos, text.out.find("frame " + std::to_string(frame) + ": time ")) << frame;
        EXPECT_NE(std::string::npos, text.out.find(expected)) << frame;
    }
    // 130 ms steps show in the milliseconds of the local time.
    EXPECT_NE(std::string::npos, text.out.find(".130)"));

    // The JSON form, judged by Python's parser.
    const CommandResult json = RunCli({"info", path, "--json"});
    ASSERT_EQ(0, json.exit_code) << json.err;
    const std::string json_path = folder.File("info.json");
    WriteBytes(json_path, std::vector<uint8_t>(json.out.begin(), json.out.end()));
    const std::string script = folder.File("check.py");
    const std::string expected_positions = [&] {
        std::string list;
        for (int32_t frame = 0; frame < 7; ++frame)
            list += std::to_string(reader.GetFrameInfo(frame).data_position) + " ";
        return list;
    }();
    WriteBytes(script, [&] {
        const std::string code =
            "import json, sys\n"
            "d = json.load(open(sys.argv[1]))\n"
            "assert d['count'] == 7 and d['trailer']['count'] == 7, d\n"
            "assert [f['index'] for f in d['frames']] == list(range(7))\n"
            "assert all(b['time'] > a['time'] for a, b in zip(d['frames'], d['frames'][1:]))\n"
            "print(' '.join(str(f['position']) for f in d['frames']), end=' ')\n";
        return std::vector<uint8_t>(code.begin(), code.end());
    }());
    const CommandResult positions = RunShell("python3 " + ShellQuote(script) + " " + ShellQuote(json_path));
    ASSERT_EQ(0, positions.exit_code);
    EXPECT_EQ(expected_positions, positions.out);
}

TEST(ArchiveCli, FrameSavesTheStoredBytesByStepOrByJump) {
    TempFolder folder;
    const std::string path = RecordMovingScene(folder, 9);
    const std::vector<uint8_t> archive_bytes = ReadBytes(path);
    for (const bool is_jump : {false, true}) {
        SCOPED_TRACE(is_jump);
        for (const int32_t frame : {0, 4, 8}) {
            CFrameArchive reader;
            ASSERT_TRUE(reader.OpenFile(path));
            if (is_jump) {
                ASSERT_TRUE(reader.LocateFrame(frame));
            } else {
                for (int32_t step = 0; step <= frame; ++step) ASSERT_TRUE(reader.LocateFrame(step));
            }
            const cna_info_t entry = reader.GetFrameInfo(frame);
            const std::vector<uint8_t> stored(archive_bytes.begin() + entry.data_position,
                                              archive_bytes.begin() + entry.data_position + entry.data_length);
            const std::string out = folder.File("frame" + std::to_string(frame) + ".jpg");
            std::vector<std::string> arguments = {"frame", path, std::to_string(frame), out};
            if (is_jump) arguments.push_back("--jump");
            const CommandResult result = RunCli(arguments);
            ASSERT_EQ(0, result.exit_code) << result.err;
            EXPECT_EQ(stored, ReadBytes(out));
        }
    }
    // Stepping and jumping reach the same record, however uneven the records are.
    CFrameArchive stepper;
    ASSERT_TRUE(stepper.OpenFile(path));
    for (int32_t frame = 0; frame < 9; ++frame) {
        ASSERT_TRUE(stepper.LocateFrame(frame));
        CFrameArchive jumper;
        ASSERT_TRUE(jumper.OpenFile(path));
        ASSERT_TRUE(jumper.LocateFrame(frame));
        EXPECT_EQ(stepper.GetFrameInfo(frame).data_position, jumper.GetFrameInfo(frame).data_position) << frame;
    }
}

TEST(ArchiveCli, DecodeWritesTheFrameAsPpm) {
    TempFolder folder;
    const std::string path = RecordMovingScene(folder, 4);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    for (int32_t frame = 0; frame <= 3; ++frame) reader.SeekFrame(frame);
    const BMP_File& image = reader.GetFrameImage();
    ASSERT_EQ(320, image.GetWidth());

    const std::string out = folder.File("three.ppm");
    const CommandResult result = RunCli({"decode", path, "3", out});
    ASSERT_EQ(0, result.exit_code) << result.err;
    const std::vector<uint8_t> ppm = ReadBytes(out);
    const std::string header = "P6\n320 240\n255\n";
    ASSERT_EQ(header.size() + 320 * 240 * 3, ppm.size());
    EXPECT_EQ(header, std::string(ppm.begin(), ppm.begin() + header.size()));
    for (size_t i = 0; i < 320 * 240; i += 997) {
        EXPECT_EQ(image.GetBits()[3 * i + 2], ppm[header.size() + 3 * i]) << i;  // red
        EXPECT_EQ(image.GetBits()[3 * i], ppm[header.size() + 3 * i + 2]) << i;  // blue
    }
    const CommandResult jump = RunCli({"decode", path, "1", folder.File("jump.ppm"), "--jump"});
    ASSERT_EQ(0, jump.exit_code) << jump.err;
    EXPECT_EQ("P6\n", ReadWholeFile(folder.File("jump.ppm")).substr(0, 3));
}

TEST(ArchiveCli, BadInputGivesOneLineAndNoOutput) {
    TempFolder folder;
    const std::string path = RecordMovingScene(folder, 3);
    // A damaged copy whose second record claims more bytes than any frame may have.
    std::vector<uint8_t> damaged = ReadBytes(path);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(path));
    reader.LocateFrame(0);
    reader.LocateFrame(1);
    archive_format::WriteU32(damaged.data() + reader.GetFrameInfo(1).data_position - 4, 0x7FFFFFF0);
    const std::string damaged_path = folder.File("damaged.CNA");
    WriteBytes(damaged_path, damaged);
    const std::string out = folder.File("out.bin");

    struct Case {
        std::vector<std::string> arguments;
        int exit_code;  // 1: the work failed; 2: the command line is wrong
    };
    const Case bad[] = {
        {{"info", folder.File("missing.CNA")}, 1},
        {{"info", path, "--yaml"}, 2},
        {{"frame", folder.File("missing.CNA"), "0", out}, 1},
        {{"frame", path, "3", out}, 1},
        {{"frame", path, "-1", out}, 2},
        {{"frame", path, "x", out}, 2},
        {{"frame", path, "99999999999", out}, 2},
        {{"frame", damaged_path, "1", out}, 1},
        {{"decode", damaged_path, "1", out}, 1},
        {{"decode", path, "0", folder.File("no/such/folder/out.ppm")}, 1},
        {{"frame", path}, 2},
    };
    for (const Case& test : bad) {
        SCOPED_TRACE(test.arguments[0] + " " + test.arguments.back());
        const CommandResult result = RunCli(test.arguments);
        EXPECT_EQ(test.exit_code, result.exit_code);
        EXPECT_TRUE(IsOneLine(result.err)) << result.err;
        EXPECT_FALSE(fs::exists(out));
    }
    // A failure never replaces an existing output file, and leaves no temporary files.
    WriteBytes(out, {1, 2, 3});
    EXPECT_NE(0, RunCli({"decode", damaged_path, "1", out}).exit_code);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), ReadBytes(out));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder.Path())) ++entries;
    EXPECT_EQ(3u, entries);  // Storage, damaged.CNA, out.bin

    // info still lists the damaged file, and says that it is damaged.
    const CommandResult info = RunCli({"info", damaged_path});
    EXPECT_NE(0, info.exit_code);
    EXPECT_NE(std::string::npos, info.out.find("count: 3"));
    EXPECT_NE(std::string::npos, info.out.find("(length damaged)"));
    EXPECT_TRUE(IsOneLine(info.err)) << info.err;
}

namespace {

// Runs cindral-cli with its output thrown away; the exit code and the child's own peak memory.
struct MeasuredRun {
    int exit_code = -1;
    long peak_kib = 0;
    double seconds = 0;
};
MeasuredRun RunMeasured(const std::vector<std::string>& arguments) {
    std::vector<char*> argv{const_cast<char*>(CINDRAL_CLI_PATH)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    MeasuredRun run;
    const pid_t child = ::fork();
    if (child == 0) {
        const int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peak_kib = usage.ru_maxrss;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

}  // namespace

TEST(ArchiveCli, CountsBeyondTheRecordsPresentAreReportedNotServed) {
    TempFolder folder;
    ArchiveBytes three(1000);
    for (int i = 0; i < 3; ++i) three.AddRecord(39814.75 + i / 86400.0, EncodeScene(32, 16, i));
    const std::string path = folder.File("inflated.CNA");
    WriteBytes(path, three.bytes);

    const CommandResult json = RunCli({"info", path, "--json"});
    EXPECT_EQ(1, json.exit_code);
    EXPECT_EQ(0u, json.out.find("{\"count\":1000,\"trailer\":null,\"frames\":[{")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"index\":2,")) << json.out;
    EXPECT_EQ(std::string::npos, json.out.find("\"index\":3,")) << json.out;
    EXPECT_TRUE(IsOneLine(json.err)) << json.err;

    const CommandResult avi = RunCli({"avi", path, folder.File("out.avi")});
    EXPECT_EQ(0, avi.exit_code) << avi.err;
    EXPECT_NE(std::string::npos, avi.out.find(": 3 frames of 32x16")) << avi.out;
    EXPECT_NE(std::string::npos, avi.err.find("counts 1000 records; 3 are present")) << avi.err;
}

TEST(ArchiveCli, AnyFileCostsTimeLinearInItsSizeAndBoundedMemory) {
    TempFolder folder;
    // A megabyte of zeros behind the largest count: no record anywhere.
    std::vector<uint8_t> zeros(8 + (1 << 20), 0);
    archive_format::WriteU32(zeros.data(), INT32_MAX);
    WriteBytes(folder.File("zeros.CNA"), zeros);
    // Records claiming pictures larger than any camera's, and one as large as is accepted.
    const std::vector<uint8_t> small = EncodeScene(16, 16, 1);
    ArchiveBytes giant(2);
    giant.AddRecord(1.0, ClaimSize(small, 12000, 13000, 650000));
    giant.AddRecord(2.0, ClaimSize(small, 12000, 13000, 650000));
    giant.AddTrailer(3.0, 2);
    WriteBytes(folder.File("giant.CNA"), giant.bytes);
    ArchiveBytes largest(2);
    largest.AddRecord(1.0, ClaimSize(small, 8192, 8192, 300000));
    largest.AddRecord(2.0, ClaimSize(small, 8000, 8192, 300000));  // another size: scaled into the first
    largest.AddTrailer(3.0, 2);
    WriteBytes(folder.File("largest.CNA"), largest.bytes);
    // Outputs go into a null device of our own, where one can be made: no disk space taken.
    std::string sink = folder.File("sink");
    if (::mknod(sink.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) sink = folder.File("sink.out");

    struct Case {
        std::vector<std::string> arguments;
        int exit_code;
    };
    const Case cases[] = {
        {{"info", folder.File("zeros.CNA")}, 1},
        {{"avi", folder.File("zeros.CNA"), sink}, 1},
        {{"frame", folder.File("zeros.CNA"), "0", sink}, 1},
        {{"decode", folder.File("giant.CNA"), "1", sink}, 1},
        {{"avi", folder.File("giant.CNA"), sink}, 1},
        {{"decode", folder.File("largest.CNA"), "0", sink}, 0},
        {{"avi", folder.File("largest.CNA"), sink}, 0},
    };
    for (const Case& run_case : cases) {
        SCOPED_TRACE(run_case.arguments[0] + " " + run_case.arguments[1]);
        const MeasuredRun run = RunMeasured(run_case.arguments);
        EXPECT_EQ(run_case.exit_code, run.exit_code);
        EXPECT_LT(run.peak_kib, 512 * 1024);
        // Generous: a pass over these files takes milliseconds; a quadratic one took many seconds.
        EXPECT_LT(run.seconds, 30.0);
    }
}

TEST(ArchiveCli, OutputsNeverReplaceTheArchiveTheyComeFrom) {
    TempFolder folder;
    const std::string path = RecordMovingScene(folder, 3);
    const std::vector<uint8_t> recorded = ReadBytes(path);
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"frame", path, "0", path}, {"decode", path, "0", path}, {"avi", path, path}}) {
        SCOPED_TRACE(arguments[0]);
        const CommandResult result = RunCli(arguments);
        EXPECT_EQ(1, result.exit_code);
        EXPECT_TRUE(IsOneLine(result.err)) << result.err;
        EXPECT_NE(std::string::npos, result.err.find("archive being read")) << result.err;
    }
    EXPECT_EQ(recorded, ReadBytes(path));
}

TEST(ArchiveCli, PruneDeletesTheOldestUnpinnedArchivesAndADryRunOnlySaysWhich) {
    TempFolder folder;
    const std::string oldest = RecordMovingScene(folder, 3);
    const std::string pinned = RecordMovingScene(folder, 3);
    const std::string middle = RecordMovingScene(folder, 3);
    const std::string newest = RecordMovingScene(folder, 3);
    int64_t modified_s = 1000;
    for (const std::string& path : {oldest, pinned, middle, newest}) {
        fs::last_write_time(path, fs::file_time_type::clock::from_sys(
                                      std::chrono::sys_seconds(std::chrono::seconds(modified_s += 60))));
    }
    fs::permissions(pinned, fs::perms::owner_write, fs::perm_options::remove);
    const uint64_t kept_bytes = fs::file_size(pinned) + fs::file_size(newest);
    const uint64_t freed_bytes = fs::file_size(oldest) + fs::file_size(middle);
    // Only the pinned and the newest archive fit: the other two go, oldest first, and the pinned one is named.
    const std::string limit = std::to_string(kept_bytes + fs::file_size(middle) - 1);
    const std::string expected = "{\"deleted\":[\"" + oldest + "\",\"" + middle +
                                 "\"],\"freed\":" + std::to_string(freed_bytes) + ",\"pinned\":[\"" + pinned +
                                 "\"],\"total\":" + std::to_string(kept_bytes) + "}\n";

    CommandResult result =
        RunCli({"prune", "--storage", folder.Folder() + "Storage", "--max-size", limit, "--dry-run", "--json"});
    EXPECT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ(expected, result.out);
    EXPECT_TRUE(fs::exists(oldest) && fs::exists(middle));

    result = RunCli({"prune", "--storage", folder.Folder() + "Storage", "--max-size", "1", "--dry-run"});
    EXPECT_EQ(1, result.exit_code);
    EXPECT_NE(std::string::npos, result.err.find("the newest, pinned and recording archives alone take")) << result.err;
    EXPECT_EQ(2, RunCli({"prune", "--storage", folder.Folder() + "Storage"}).exit_code);

    result = RunCli({"prune", "--program-folder", folder.Folder(), "--max-size", limit, "--json"});
    EXPECT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ(expected, result.out);
    EXPECT_FALSE(fs::exists(oldest) || fs::exists(middle));
    EXPECT_TRUE(fs::exists(pinned) && fs::exists(newest));
}

TEST(ArchiveCli, InfoSaysALongDamagedStretchInOneLine) {
    TempFolder folder;
    // Four records, 100 KB of zeros that held 140 records as small as them, four more records.
    const std::vector<uint8_t> jpeg = EncodeScene(16, 16, 1);
    const int32_t swallowed = 140;
    ArchiveBytes file(8 + swallowed);
    for (int i = 0; i < 4; ++i) file.AddRecord(39814.75 + i / 86400.0, jpeg);
    file.bytes.resize(file.bytes.size() + swallowed * (jpeg.size() + archive_format::kRecordHeadSize), 0);
    for (int i = 0; i < 4; ++i) file.AddRecord(39814.76 + i / 86400.0, jpeg);
    file.AddTrailer(39814.77, 8 + swallowed);
    const std::string path = folder.File("stretch.CNA");
    WriteBytes(path, file.bytes);

    const CommandResult text = RunCli({"info", path});
    EXPECT_EQ(1, text.exit_code);
    EXPECT_NE(std::string::npos, text.out.find("frame 4: time 0 (1899-12-30 00:00:00.000), length 0, position "))
        << text.out;
    EXPECT_NE(std::string::npos, text.out.find("frames 5 to 143: lost, 139 records of the damaged stretch at"))
        << text.out;
    EXPECT_NE(std::string::npos, text.out.find("frame 144: time")) << text.out;
    EXPECT_EQ(14, std::count(text.out.begin(), text.out.end(), '\n')) << text.out;  // 4 heading lines, 10 for frames
    const CommandResult json = RunCli({"info", path, "--json"});
    EXPECT_NE(std::string::npos, json.out.find("{\"condition\":\"lost\",\"count\":139,\"index\":5,")) << json.out;
}
