// cindral-cli detect: the motion detector over recorded archives, to tune its settings on one's
// own footage, or to make the storage folder's events database again from its archives.
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "cli/detector_options.h"
#include "jpeg/jpeg_stream.h"
#include "recorder/frame_pipeline.h"
#include "storage/events_database.h"
#include "storage/retention.h"

namespace {

using namespace archive_cli;

constexpr double kMsPerDay = 86400000.0;

struct FoundEvent {
    int32_t first_frame = 0;  // the first frame its archive would hold (held frames included)
    int32_t last_frame = 0;
    double first_time = 0.0;
    double last_time = 0.0;
    int32_t motion_frame = -1;  // the frame that began it
    int64_t peak_blocks = 0;
};

// Stands where the recorder would: notes which frames an archive would hold, stores nothing.
// Held frames carry their frame number instead of a JPEG.
class EventFinder : public IFrameRecorder {
public:
    int32_t frame = 0;
    double stamp = 0.0;
    std::vector<FoundEvent> events;

    bool WriteFrame(const BMP_File&) override { return Add(frame, stamp); }
    bool WriteCleanFrame(const CleanFrame&) override { return Add(frame, stamp); }
    bool CloseFile() override {
        is_open_ = false;
        return true;
    }
    bool TakesCameraJpeg(const uint8_t*, uint32_t, int32_t, int32_t) const override { return true; }
    void HoldCleanFrame(const CleanFrame&, int64_t time_ms, int64_t keep_from_ms) override {
        HeldFrame held;
        held.jpeg.resize(sizeof frame);
        std::memcpy(held.jpeg.data(), &frame, sizeof frame);
        held.record_stamp = stamp;
        held.time_ms = time_ms;
        held_.Hold(std::move(held), keep_from_ms);
    }
    int64_t WriteHeldFrames(int64_t from_ms) override {
        const std::vector<HeldFrame> taken = held_.TakeFrom(from_ms);
        for (const HeldFrame& held : taken) {
            int32_t index = 0;
            std::memcpy(&index, held.jpeg.data(), sizeof index);
            Add(index, held.record_stamp);
        }
        return static_cast<int64_t>(taken.size());
    }
    void LetGoOfHeldFrames() override { held_.Clear(); }

private:
    bool Add(int32_t index, double time) {
        if (!is_open_) {
            events.push_back(FoundEvent{index, index, time, time, -1, 0});
            is_open_ = true;
        }
        events.back().last_frame = index;
        events.back().last_time = time;
        return true;
    }
    bool is_open_ = false;
    CPreRollBuffer held_;
};

// The events of one archive; false after saying why it cannot be read.
bool DetectIn(const std::string& path, const DetectorSettings& detector, int32_t threshold,
              const std::shared_ptr<const BlockMask>& mask, std::vector<FoundEvent>& events, int32_t& frame_count) {
    CArchiveReader archive;
    if (!OpenArchive("detect", archive, path)) return false;
    frame_count = archive.GetFrameCount();
    // Frames of one archive only are compared: a pipeline of its own.
    CindralSettings settings;
    settings.saving_mode = kSavingMotionDetector;
    settings.threshold = threshold;
    EventFinder finder;
    CFramePipeline pipeline(settings, finder, nullptr);
    pipeline.AttachSettings(true);
    pipeline.SetDetectorSettings(&detector);
    pipeline.SetIgnoredBlocks(mask);
    pipeline.SetFrameClock([&finder] { return static_cast<int64_t>(std::llround(finder.stamp * kMsPerDay)); },
                           [&finder] { return static_cast<int64_t>(std::llround(finder.stamp * kMsPerDay)); });
    pipeline.SetEventHandler([&finder](const MotionEventNote& note) {
        if (finder.events.empty()) return;
        if (note.kind == MotionEventNote::Kind::kStart) finder.events.back().motion_frame = finder.frame;
        if (note.kind == MotionEventNote::Kind::kEnd) finder.events.back().peak_blocks = note.blocks;
    });
    std::vector<uint8_t> jpeg;
    for (int32_t frame = 0; frame < frame_count; ++frame) {
        const std::optional<ArchiveRecord> record = archive.GetRecord(frame);
        if (!record || !archive.ReadFrameJpeg(frame, jpeg)) continue;  // a damaged record is skipped, as playback does
        const std::optional<JpegStreamInfo> info = ReadJpegStream(jpeg.data(), static_cast<uint32_t>(jpeg.size()));
        if (!info) continue;
        settings.frame_width = info->width;
        settings.frame_height = -info->height;
        CameraFrame camera;
        camera.layout = PixelLayout::kJpeg;
        camera.width = info->width;
        camera.height = -info->height;
        camera.planes[0] = jpeg.data();
        camera.size_bytes = jpeg.size();
        finder.frame = frame;
        finder.stamp = record->time_stamp;
        pipeline.ProcessFrame(camera);
    }
    pipeline.EndEvent();
    events = std::move(finder.events);
    return true;
}

// Makes the events database of storage_folder again from every archive in it: the archives are
// the truth, whatever the database held before (a damaged file is set aside, not read).
int RebuildIndex(const std::string& storage_folder, const DetectorSettings& detector, int32_t threshold,
                 const std::shared_ptr<const BlockMask>& mask) {
    if (const auto problem = cli::FolderProblem(storage_folder)) return cli::Fail("detect", *problem);
    std::vector<StoredEvent> rows;
    bool is_failed = false;
    size_t archive_count = 0;
    for (const StoredArchive& stored : ListStoredArchives(storage_folder)) {
        std::vector<FoundEvent> events;
        int32_t frame_count = 0;
        if (!DetectIn(stored.path, detector, threshold, mask, events, frame_count)) {
            is_failed = true;
            continue;
        }
        ++archive_count;
        for (const FoundEvent& event : events) {
            StoredEvent row;
            row.start_ole = event.first_time;
            row.end_ole = event.last_time;
            row.archive = ArchiveWithinStorage(storage_folder, stored.path);
            row.first_frame = event.first_frame;
            row.last_frame = event.last_frame;
            row.peak_blocks = event.peak_blocks;
            row.best_frame = event.motion_frame;
            rows.push_back(std::move(row));
        }
    }
    CEventsDatabase database;
    std::string error;
    std::string set_aside;
    if (!database.Open(storage_folder, error, &set_aside) || !database.ReplaceAll(rows, error))
        return cli::Fail("detect", error);
    if (!set_aside.empty()) cli::PrintError("detect", "the damaged events database was set aside as " + set_aside);
    std::printf("%s: %zu events in %zu archives\n", cli::EscapeForTerminal(storage_folder).c_str(), rows.size(),
                archive_count);
    return cli::FlushOutput() && !is_failed ? kCliSuccess : kCliFailure;
}

int RunDetect(const CliArguments& arguments) {
    const DetectorOptionValues values = ReadDetectorOptions(arguments);
    const int32_t threshold =
        arguments.Has("threshold")
            ? static_cast<int32_t>(cli::ParseInteger("--threshold", arguments.Value("threshold"), 0, 255))
            : 20;
    const bool is_json = arguments.Has("json");
    const bool is_indexing = arguments.Has("index");
    if (is_indexing == !arguments.AllPositional().empty()) throw CliUsageError("give either FILE or --index STORAGE");
    if (is_indexing && is_json) throw CliUsageError("--index prints no JSON");
    DetectorSettings detector;
    ApplyDetectorOptions(values, detector);
    std::shared_ptr<const BlockMask> mask;
    if (std::string error; !LoadMaskOption(values, mask, &error)) return cli::Fail("detect", error);
    if (is_indexing)
        return RebuildIndex(cli::ParseFolder("--index", arguments.Value("index")), detector, threshold, mask);

    QJsonArray archives;
    bool is_failed = false;
    for (const std::string& path : arguments.AllPositional()) {
        std::vector<FoundEvent> events;
        int32_t frame_count = 0;
        if (!DetectIn(path, detector, threshold, mask, events, frame_count)) {
            is_failed = true;
            continue;
        }
        QJsonArray found;
        if (!is_json)
            std::printf("%s: %d frames, %zu events\n", cli::EscapeForTerminal(path).c_str(), frame_count,
                        events.size());
        for (const FoundEvent& event : events) {
            if (is_json) {
                found.append(QJsonObject{{"first_frame", event.first_frame},
                                         {"last_frame", event.last_frame},
                                         {"motion_frame", event.motion_frame},
                                         {"first_time", QString::fromStdString(FormatOleDate(event.first_time, true))},
                                         {"last_time", QString::fromStdString(FormatOleDate(event.last_time, true))},
                                         {"peak_blocks", static_cast<qint64>(event.peak_blocks)}});
            } else {
                std::printf("  frames %d to %d (%s to %s), motion from frame %d, at most %lld blocks moving\n",
                            event.first_frame, event.last_frame, FormatOleDate(event.first_time, true).c_str(),
                            FormatOleDate(event.last_time, true).c_str(), event.motion_frame,
                            static_cast<long long>(event.peak_blocks));
            }
        }
        if (is_json)
            archives.append(QJsonObject{{"file", cli::JsonName(path)}, {"frames", frame_count}, {"events", found}});
    }
    if (!(is_json ? cli::PrintJsonLine(QJsonObject{{"archives", archives}}) : cli::FlushOutput())) return kCliFailure;
    return is_failed ? kCliFailure : kCliSuccess;
}

const CliCommandRegistration kDetect{{
    .name = "detect",
    .summary = "runs the motion detector over archives and prints the events it would record; with --index, "
               "makes the storage folder's events database again from its archives",
    .arguments = {{"FILE", "an archive file (.CNA); frames of different files are never compared", true, true}},
    .options = WithDetectorOptions({{"threshold", "T", "the motion detector's threshold, 0 to 255 (20)"},
                                    {"json", "",
                                     "print one line of JSON: archives (file, frames, events: first_frame, "
                                     "last_frame, motion_frame, first_time, last_time, peak_blocks)"},
                                    {"index", "STORAGE",
                                     "instead of FILE: every archive of STORAGE's day folders, its events written "
                                     "into STORAGE's events database in place of what it held"}}),
    .run = &RunDetect,
}};

}  // namespace
