// cindral-cli record: headless recording through the same capture graph, frame pipeline and
// recorder as the program.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gst/gst.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include "capture/capture_messages.h"
#include "capture/device_watcher.h"
#include "capture/live_session.h"
#include "cli/archive_cli_util.h"
#include "cli/cli_command.h"
#include "platform/posix_file.h"
#include "recording/settings.h"
#include "storage/byte_size.h"
#include "storage/storage_folder.h"

namespace {

constexpr char kUsage[] =
    "record (--program-folder DIR | --storage DIR) (--camera NAME | --source 'gst-launch description') "
    "--mode off|motion|always [--frames N] [--threshold T] [--show-detector] [--width W --height H] [--no-retry] "
    "[--max-size SIZE] [--min-free SIZE]";
// While frames cannot be stored, how often a line says how many were lost since the last one.
constexpr int kFailureSummaryIntervalMs = 10000;
constexpr char kSourceCameraName[] = "cindral-cli source";

std::atomic<int> g_stop_signal{0};

void OnStopSignal(int signal_number) { g_stop_signal.store(signal_number); }

struct RecordOptions {
    std::string storage_folder;  // --storage DIR, or --program-folder DIR as DIR/Storage
    RetentionLimits limits;      // none unless asked for
    std::string camera;
    std::string source;
    int32_t saving_mode = kSavingOff;
    int64_t frame_limit = 0;  // 0 = no limit
    int32_t threshold = 20;
    bool show_detector = false;
    int32_t width = 0;
    int32_t height = 0;
    bool is_retrying = true;  // a live camera that is lost is tried again
};

bool ParseInteger(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) return false;
    *value = parsed;
    return true;
}

std::optional<RecordOptions> ParseOptions(const std::vector<std::string>& arguments) {
    RecordOptions options;
    bool has_mode = false;
    auto fail = [](const std::string& why) -> std::optional<RecordOptions> {
        std::fprintf(stderr, "cindral-cli record: %s\nusage: cindral-cli %s\n", why.c_str(), kUsage);
        return std::nullopt;
    };
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--show-detector") {
            options.show_detector = true;
            continue;
        }
        if (option == "--no-retry") {
            options.is_retrying = false;
            continue;
        }
        if (i + 1 >= arguments.size()) return fail("missing value after " + option);
        const std::string& value = arguments[++i];
        int64_t number = 0;
        if (option == "--program-folder" || option == "--storage") {
            if (!options.storage_folder.empty()) return fail("give either --program-folder or --storage, once");
            options.storage_folder = option == "--storage" ? WithTrailingSlash(value) : StorageBesideProgram(value);
        } else if (option == "--max-size" || option == "--min-free") {
            const std::optional<uint64_t> bytes = ParseByteSize(value);
            if (!bytes) return fail(option + " takes a size in bytes or with K, M, G or T (got '" + value + "')");
            (option == "--max-size" ? options.limits.max_total_bytes : options.limits.min_free_bytes) = *bytes;
        } else if (option == "--camera") {
            options.camera = value;
        } else if (option == "--source") {
            options.source = value;
        } else if (option == "--mode") {
            if (value == "off") {
                options.saving_mode = kSavingOff;
            } else if (value == "motion") {
                options.saving_mode = kSavingMotionDetector;
            } else if (value == "always") {
                options.saving_mode = kSavingAlways;
            } else {
                return fail("unknown mode '" + value + "'");
            }
            has_mode = true;
        } else if (option == "--frames") {
            if (!ParseInteger(value, 1, INT64_MAX, &number)) return fail("--frames takes a positive number");
            options.frame_limit = number;
        } else if (option == "--threshold") {
            if (!ParseInteger(value, 0, 255, &number)) return fail("--threshold takes a number from 0 to 255");
            options.threshold = static_cast<int32_t>(number);
        } else if (option == "--width" || option == "--height") {
            if (!ParseInteger(value, 1, 16384, &number)) return fail(option + " takes a number from 1 to 16384");
            (option == "--width" ? options.width : options.height) = static_cast<int32_t>(number);
        } else {
            return fail("unknown option '" + option + "'");
        }
    }
    if (options.storage_folder.empty()) return fail("--program-folder or --storage is required");
    if (options.camera.empty() == options.source.empty()) return fail("give either --camera or --source");
    if (!has_mode) return fail("--mode is required");
    if ((options.width > 0) != (options.height > 0)) return fail("--width and --height go together");
    return options;
}

// Capture messages go to standard error, caption first.
class StderrMessages : public ICaptureMessages {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon) override {
        std::fprintf(stderr, "cindral-cli record: %s: %s\n", caption.empty() ? "Cindral" : caption.c_str(),
                     text.c_str());
    }
};

void PrintLine(const std::string& text) {
    std::fprintf(stderr, "cindral-cli record: %s\n", text.c_str());
    std::fflush(stderr);
}

int Record(const RecordOptions& options) {
    // The storage folder is made when the first archive begins; the folder it goes into must exist.
    std::string writable = options.storage_folder;
    if (::access(writable.c_str(), F_OK) != 0) writable = FolderOf(writable.substr(0, writable.size() - 1));
    if (writable.empty()) writable = ".";
    if (::access(writable.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "cindral-cli record: cannot record into %s: %s\n", options.storage_folder.c_str(),
                     ErrnoText(errno).c_str());
        return 1;
    }
    GError* raw_error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &raw_error)) {
        std::fprintf(stderr, "cindral-cli record: GStreamer: %s\n", raw_error ? raw_error->message : "unknown");
        if (raw_error) g_error_free(raw_error);
        return 1;
    }
    // The session's events and the bus come through the Qt event loop of this thread.
    std::unique_ptr<QCoreApplication> application;
    static int qt_argc = 1;
    static char qt_name[] = "cindral-cli";
    static char* qt_argv[] = {qt_name, nullptr};
    if (!QCoreApplication::instance()) application = std::make_unique<QCoreApplication>(qt_argc, qt_argv);
    // What the user must know is written below in this tool's own lines; the log repeats it
    // only when asked for with QT_LOGGING_RULES.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) {
        QLoggingCategory::setFilterRules(QStringLiteral("cindral.*.warning=false\ncindral.*.info=false"));
    }

    CindralSettings settings;
    settings.camera_name = options.camera.empty() ? kSourceCameraName : options.camera;
    settings.frame_width = options.width;
    settings.frame_height = options.height;
    settings.frame_duration_100ns = 0;
    settings.saving_mode = options.saving_mode;
    settings.threshold = options.threshold;
    settings.show_detector = options.show_detector ? 1 : 0;

    StderrMessages messages;
    // A named camera is followed as it comes and goes; a description is always there.
    std::unique_ptr<CVideoDeviceWatcher> watcher;
    if (!options.camera.empty()) {
        watcher = std::make_unique<CVideoDeviceWatcher>();
        watcher->Start();
    }
    LiveSessionOptions session_options;
    session_options.is_clock_synced = false;
    session_options.is_retrying_failed_start = false;
    session_options.is_retrying_lost_camera = options.is_retrying;
    session_options.is_ending_with_file_source = true;
    session_options.frame_limit = options.frame_limit;
    session_options.is_listing_archives = true;
    CLiveSession session(settings, options.storage_folder, messages, nullptr, watcher.get(), session_options);
    if (!options.source.empty()) session.AddCamera(kSourceCameraName, options.source);
    session.SetRetentionLimits(options.limits);

    bool is_ended = false;
    bool is_failed = false;  // the source failed, or the camera was lost and not tried again
    QObject::connect(&session, &CLiveSession::SourceEnded, [&](bool is_failure) {
        is_ended = true;
        is_failed = is_failure;
    });
    QObject::connect(&session, &CLiveSession::FrameLimitReached, [&] { is_ended = true; });
    QObject::connect(&session, &CLiveSession::CameraLost, [&](const QString& reason) {
        if (!options.is_retrying) PrintLine("camera lost: " + reason.toStdString());  // else the retry line says it
    });
    QObject::connect(&session, &CLiveSession::RetryScheduled, [&](const QString& reason, int in_s) {
        PrintLine("camera lost: " + reason.toStdString() + "; retrying in " + std::to_string(in_s) + " s");
    });
    QObject::connect(&session, &CLiveSession::CameraBack, [&](double after_s) {
        char text[64];
        std::snprintf(text, sizeof text, "camera back after %.1f s", after_s);
        PrintLine(text);
    });
    // Each cause when it first happens, then a count now and then while frames go on being lost.
    int64_t failed_at_last_line = 0;
    std::string last_failure;
    QObject::connect(&session, &CLiveSession::RecorderFailed, [&](const QString&, const QString& detail) {
        last_failure = detail.toStdString();
        PrintLine(last_failure);
        failed_at_last_line = session.RecorderStatus().failed_frames;
    });
    QObject::connect(&session, &CLiveSession::RecorderRecovered, [&] { PrintLine("recording works again"); });
    std::string retention_problem;
    QObject::connect(&session, &CLiveSession::RetentionApplied, [&](const RetentionResult& result) {
        for (const std::string& path : result.deleted) PrintLine("deleted " + path + " to keep the storage limits");
        for (const std::string& error : result.errors) PrintLine(error);
        if (result.problem != retention_problem && !result.problem.empty()) PrintLine(result.problem);
        retention_problem = result.problem;
    });
    QTimer failure_summary;
    QObject::connect(&failure_summary, &QTimer::timeout, [&] {
        const CRecorderMonitor::Status status = session.RecorderStatus();
        if (status.failure_cause.empty() || status.failed_frames == failed_at_last_line) return;
        PrintLine(std::to_string(status.failed_frames - failed_at_last_line) + " frame(s) not stored in the last " +
                  std::to_string(kFailureSummaryIntervalMs / 1000) + " s: " + status.failure_cause);
        failed_at_last_line = status.failed_frames;
    });
    failure_summary.start(kFailureSummaryIntervalMs);

    g_stop_signal.store(0);
    auto previous_int = std::signal(SIGINT, OnStopSignal);
    auto previous_term = std::signal(SIGTERM, OnStopSignal);
    const auto started = std::chrono::steady_clock::now();
    const bool is_started = session.Start();
    while (is_started && !is_ended && g_stop_signal.load() == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // In order: no more frames, then the open archive gets its trailer.
    session.Stop();
    QCoreApplication::processEvents();  // the last events of the recorder
    session.FinishRetention();          // the finished archive may have passed a limit
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::signal(SIGINT, previous_int);
    std::signal(SIGTERM, previous_term);
    if (!is_started) return 1;  // the capture object has said why

    const CRecorderMonitor::Status status = session.RecorderStatus();
    std::string summary = "{\"frames\":" + std::to_string(session.FramesProcessed()) +
                          ",\"recorded\":" + std::to_string(status.stored_frames) +
                          ",\"failed\":" + std::to_string(status.failed_frames) +
                          ",\"reconnects\":" + std::to_string(session.Reconnects()) + ",\"archives\":[";
    const std::vector<std::string> archives = session.Archives();
    for (size_t i = 0; i < archives.size(); ++i) summary += (i ? "," : "") + archive_cli::JsonString(archives[i]);
    char seconds_text[32];
    std::snprintf(seconds_text, sizeof seconds_text, "%.3f", seconds);
    summary += std::string("],\"seconds\":") + seconds_text + "}";
    if (status.failed_frames > 0) {
        PrintLine(std::to_string(status.failed_frames) + " frame(s) could not be recorded: " + last_failure);
    }
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    return status.failed_frames > 0 || is_failed ? 1 : 0;
}

int RunRecord(const std::vector<std::string>& arguments) {
    const std::optional<RecordOptions> options = ParseOptions(arguments);
    return options ? Record(*options) : 2;
}

const CliCommandRegistration kRecord{{"record", kUsage,
                                      "record from a camera or a GStreamer source into archives, headless",
                                      &RunRecord}};

}  // namespace
