// cindral-cli record: headless recording through the same capture graph, frame pipeline and
// recorder as the program.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gst/gst.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>

#include "capture/capture_messages.h"
#include "capture/device_watcher.h"
#include "capture/event_command.h"
#include "capture/live_session.h"
#include "capture/network_camera.h"
#include "capture/video_devices.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "cli/detector_options.h"
#include "cli/listen_options.h"
#include "detection/motion_events.h"
#include "glib/gst_handles.h"
#include "jpeg/jpeg_codec.h"
#include "live_text/live_state_text.h"
#include "platform/posix_file.h"
#include "settings/settings.h"
#include "storage/byte_size.h"
#include "storage/storage_folder.h"

namespace {

// While frames cannot be stored, how often a line says how many were lost since the last one.
constexpr int kFailureSummaryIntervalMs = 10000;
constexpr char kSourceCameraName[] = "cindral-cli source";
constexpr int64_t kMaxSide = JpegCodec::kMaxDecodeDimension;

std::atomic<int> g_stop_signal{0};

void OnStopSignal(int signal_number) { g_stop_signal.store(signal_number); }

struct RecordOptions {
    std::string storage_folder;  // --storage DIR, or --program-folder DIR as DIR/Storage
    RetentionLimits limits;      // none unless asked for
    std::string camera;
    std::string source;
    std::optional<NetworkCamera> network;  // --url, with --password-file and --transport
    int32_t saving_mode = kSavingOff;
    int64_t frame_limit = 0;  // 0 = no limit
    int32_t threshold = 20;
    bool show_detector = false;
    int32_t width = 0;
    int32_t height = 0;
    bool is_retrying = true;  // a live camera that is lost is tried again
    DetectorOptionValues detector;
    std::string on_event;
};

RecordOptions ReadOptions(const CliArguments& arguments) {
    RecordOptions options;
    options.storage_folder = cli::ParseStorageFolder(arguments);
    if (arguments.Has("max-size"))
        options.limits.max_total_bytes = cli::ParseByteSize("--max-size", arguments.Value("max-size"));
    if (arguments.Has("min-free"))
        options.limits.min_free_bytes = cli::ParseByteSize("--min-free", arguments.Value("min-free"));
    options.camera = arguments.Value("camera");
    options.source = arguments.Value("source");
    const int sources =
        (arguments.Has("camera") ? 1 : 0) + (arguments.Has("source") ? 1 : 0) + (arguments.Has("url") ? 1 : 0);
    if (sources != 1) throw CliUsageError("give one of --camera, --source and --url");
    if (arguments.Has("url")) {
        NetworkCamera camera;
        std::string error;
        if (!ParseNetworkAddress(arguments.Value("url"), &camera, &error)) throw CliUsageError(error);
        if (arguments.Has("transport") && !ParseNetworkTransport(arguments.Value("transport"), &camera.transport))
            throw CliUsageError("--transport takes auto, tcp or udp, not '" + arguments.Value("transport") + "'");
        if (arguments.Has("password-file")) {
            // The camera's: viewers of --listen cannot be given one of their own in the same run.
            if (arguments.Has("listen"))
                throw CliUsageError(
                    "--password-file is the camera's with --url; it cannot also be the viewers' of --listen");
            if (!ReadCredentialsFile(arguments.Value("password-file"), &camera.user, &camera.password, &error))
                throw CliUsageError(error);
        }
        options.network = std::move(camera);
    } else if (arguments.Has("transport")) {
        throw CliUsageError("--transport goes with --url");
    } else if (options.camera.empty() && options.source.empty()) {
        throw CliUsageError("the camera or source is empty");
    }
    const std::string& mode = arguments.Value("mode");
    if (!arguments.Has("mode")) throw CliUsageError("--mode is required");
    if (mode == "off")
        options.saving_mode = kSavingOff;
    else if (mode == "motion")
        options.saving_mode = kSavingMotionDetector;
    else if (mode == "always")
        options.saving_mode = kSavingAlways;
    else
        throw CliUsageError("--mode takes off, motion or always, not '" + mode + "'");
    if (arguments.Has("frames"))
        options.frame_limit = cli::ParseInteger("--frames", arguments.Value("frames"), 1, INT64_MAX);
    if (arguments.Has("threshold")) {
        options.threshold =
            static_cast<int32_t>(cli::ParseInteger("--threshold", arguments.Value("threshold"), 0, 255));
    }
    if (arguments.Has("width") != arguments.Has("height")) throw CliUsageError("--width and --height go together");
    if (arguments.Has("width")) {
        // An archive holds no larger picture.
        options.width = static_cast<int32_t>(cli::ParseInteger("--width", arguments.Value("width"), 1, kMaxSide));
        options.height = static_cast<int32_t>(cli::ParseInteger("--height", arguments.Value("height"), 1, kMaxSide));
    }
    options.show_detector = arguments.Has("show-detector");
    options.is_retrying = !arguments.Has("no-retry");
    options.detector = ReadDetectorOptions(arguments);
    options.on_event = arguments.Value("on-event");
    if (arguments.Has("on-event") && options.on_event.empty()) throw CliUsageError("--on-event is empty");
    return options;
}

void PrintLine(const std::string& text) { cli::PrintError("record", text); }

std::string NoCameraMessage(const std::string& camera) {
    const std::vector<std::string> names = EnumVideoDevices();
    std::string message = "no camera named '" + camera + "'; ";
    if (names.empty()) return message + "no cameras are present";
    message += "cameras: ";
    for (size_t i = 0; i < names.size(); ++i) message += (i > 0 ? ", " : "") + names[i];
    return message;
}

// The capture object speaks in the desktop program's message boxes; here each says what is
// wrong in this tool's terms, with the library's own words where the message carries them.
// camera is empty for a --source run.
std::string RecordMessage(const std::string& text, const std::string& caption, const std::string& camera) {
    const std::string subject = camera.empty() ? "the source" : "camera '" + camera + "'";
    const auto starts_with = [&](std::string_view prefix) { return text.compare(0, prefix.size(), prefix) == 0; };
    const size_t newline = text.find('\n');
    const std::string detail = newline == std::string::npos ? std::string() : text.substr(newline + 1);
    if (caption == "Could not access camera") {
        // "Error: 0xCODE" and the library's message; a lost camera's reason alone.
        return subject + " could not start: " + (starts_with("Error: 0x") ? detail : text);
    }
    if (starts_with("Camera Direct Show Source \"")) {
        if (detail.empty()) return NoCameraMessage(camera);
        return (camera.empty() ? "the source description does not work: " : subject + " cannot be opened: ") + detail;
    }
    if (starts_with("CWebCameraDlg::Init::pClassEnum")) return NoCameraMessage(camera);
    if (starts_with("CWebCameraDlg::Init::"))
        return "cannot list the cameras: GStreamer's device monitor does not work";
    if (text == "Camera is in use by another application") {
        return subject + " is in use by another program, or its picture does not connect to the recorder";
    }
    if (text == "Colour space convertor was not found!") {
        return "cannot build the capture pipeline: GStreamer's videoconvert element is missing";
    }
    if (starts_with("Failed to get video interfaces!") || starts_with("Could not add ")) {
        return "cannot build the capture pipeline: " + text;
    }
    return subject + ": " + (caption.empty() ? "" : caption + ": ") + text;
}

// The capture object's messages, said once in this tool's words. A camera lost while it ran
// is said by the session's own lines (lost, retrying, back) instead.
class RecordMessages : public ICaptureMessages {
public:
    explicit RecordMessages(std::string camera) : camera_(std::move(camera)) {}
    void Follow(const CLiveSession* session) { session_ = session; }
    bool HasSaidFailure() const { return has_said_failure_; }
    void SayFailure(const std::string& text) {
        PrintLine(text);
        has_said_failure_ = true;
    }

    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon) override {
        // Frames may have come before the session has seen its first-frame event.
        const bool has_run =
            session_ && (session_->FramesProcessed() > 0 || session_->State().phase == LivePhase::kLive ||
                         session_->State().phase == LivePhase::kRecording);
        if (has_run) return;
        SayFailure(RecordMessage(text, caption, camera_));
    }

private:
    const std::string camera_;
    const CLiveSession* session_ = nullptr;
    bool has_said_failure_ = false;
};

int RunRecord(const CliArguments& arguments) {
    const RecordOptions options = ReadOptions(arguments);
    std::string fingerprint;
    std::optional<WebServerOptions> listen;
    if (arguments.Has("listen")) listen = ReadListenOptions(arguments, fingerprint);
    // The storage folder is made when the first archive begins; the folder it goes into must exist.
    std::string writable = options.storage_folder;
    if (::access(writable.c_str(), F_OK) != 0) writable = FolderOf(writable.substr(0, writable.size() - 1));
    if (writable.empty()) writable = ".";
    if (::access(writable.c_str(), W_OK | X_OK) != 0) {
        return cli::Fail("record", ErrnoMessage("cannot record into " + options.storage_folder));
    }
    GError* raw_error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &raw_error)) {
        const GErrorPtr error(raw_error);
        return cli::Fail("record",
                         std::string("GStreamer does not start: ") + (error ? error->message : "unknown error"));
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
    // A network camera is named by its address, which is shown and logged without credentials.
    const std::string camera_name =
        options.network ? options.network->address : (options.camera.empty() ? kSourceCameraName : options.camera);
    settings.camera_name = camera_name;
    settings.frame_width = options.width;
    settings.frame_height = options.height;
    settings.frame_duration_100ns = 0;
    settings.saving_mode = options.saving_mode;
    settings.threshold = options.threshold;
    settings.show_detector = options.show_detector ? 1 : 0;

    DetectorSettings detector;
    ApplyDetectorOptions(options.detector, detector);
    std::shared_ptr<const BlockMask> mask;
    if (std::string error; !LoadMaskOption(options.detector, mask, &error)) return cli::Fail("record", error);

    RecordMessages messages(options.network ? camera_name : options.camera);
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
    // Network cameras restart often and should be recorded again within seconds.
    if (options.network) session_options.max_retry_delay_s = 10;
    CLiveSession session(settings, options.storage_folder, messages, nullptr, watcher.get(), session_options);
    if (!options.source.empty()) session.AddCamera(kSourceCameraName, options.source);
    if (options.network) session.AddNetworkCamera(camera_name, *options.network);
    messages.Follow(&session);
    session.SetRetentionLimits(options.limits);
    session.SetDetectorSettings(&detector);
    session.SetIgnoredBlocks(mask);
    session.SetEventCommand(options.on_event);
    QObject::connect(&session, &CLiveSession::EventCommandReport, [&](const QString& line, bool is_failure) {
        // A command's failures and its output: the output never reaches ours.
        if (is_failure || line.startsWith(QLatin1String(CEventCommandRunner::kOutputPrefix)))
            PrintLine(line.toStdString());
    });
    // Viewers are served from this thread's event loop, the one the session's events use.
    CWebServer server(options.storage_folder, &session.ViewerFrames(), [&session] {
        const LiveState state = session.State();
        return WebLiveStatus{LivePhaseName(state.phase), LiveStateText(state).toStdString(), state.camera,
                             state.archive_path};
    });
    if (listen && !StartServing(server, *listen, fingerprint, "record")) return kCliFailure;

    bool is_ended = false;
    bool is_failed = false;  // the source failed, or the camera was lost and not tried again
    QObject::connect(&session, &CLiveSession::SourceEnded, [&](bool is_failure) {
        is_ended = true;
        is_failed = is_failure;
        // A file source that failed part way has not been said yet.
        const std::string reason = session.State().lost_reason;
        if (is_failure && !messages.HasSaidFailure())
            messages.SayFailure("the source failed" + (reason.empty() ? "" : ": " + reason));
    });
    QObject::connect(&session, &CLiveSession::FrameLimitReached, [&] { is_ended = true; });
    // A picture larger than an archive holds could never be recorded: refused as the run starts,
    // by the size the first pictures came in (one damaged frame later claims any size).
    bool is_size_checked = false;
    QObject::connect(&session, &CLiveSession::StateChanged, [&] {
        const LivePhase phase = session.State().phase;
        if (is_size_checked || (phase != LivePhase::kLive && phase != LivePhase::kRecording)) return;
        is_size_checked = true;
        const int64_t width = settings.frame_width.load();
        const int64_t height = std::llabs(settings.frame_height.load());
        if (is_ended || options.saving_mode == kSavingOff || (width <= kMaxSide && height <= kMaxSide)) return;
        messages.SayFailure("cannot record frames of " + std::to_string(width) + "x" + std::to_string(height) +
                            " pixels: an archive holds pictures of up to " + std::to_string(kMaxSide) +
                            " pixels either way");
        is_ended = true;
        is_failed = true;
    });
    QObject::connect(&session, &CLiveSession::CameraLost, [&](const QString& reason) {
        if (!options.is_retrying)
            messages.SayFailure("camera lost: " + reason.toStdString());  // else the retry line says it
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
    QObject::connect(&session, &CLiveSession::FrameLost, [&](const QString& detail) {
        PrintLine(detail.toStdString());
        if (last_failure.empty()) last_failure = detail.toStdString();
    });
    QObject::connect(&session, &CLiveSession::PreRollShortened,
                     [&](const QString& detail) { PrintLine(detail.toStdString()); });
    QObject::connect(&session, &CLiveSession::RecorderRecovered, [&] { PrintLine("recording works again"); });
    // Frames the encoders could not take: said when it begins, then counted with the failures.
    int64_t dropped_at_last_line = 0;
    QObject::connect(&session, &CLiveSession::FramesDropped, [&](const QString& detail) {
        PrintLine(detail.toStdString());
        dropped_at_last_line = session.RecorderStatus().dropped_frames;
    });
    std::string retention_problem;
    std::vector<std::string> deleted;  // archives of this run or before it, deleted by retention
    QObject::connect(&session, &CLiveSession::RetentionApplied, [&](const RetentionResult& result) {
        for (const std::string& path : result.deleted) {
            PrintLine("deleted " + path + " to keep the storage limits");
            deleted.push_back(path);
        }
        for (const std::string& error : result.errors) PrintLine(error);
        // Said once while it lasts, not again for each new figure of free space.
        if (result.problem_cause != retention_problem && !result.problem.empty()) PrintLine(result.problem);
        retention_problem = result.problem_cause;
    });
    QObject::connect(&session, &CLiveSession::ArchiveDeletedForRoom, [&](const QString& path) {
        PrintLine("deleted " + path.toStdString() + " to make room on the full disk");
        deleted.push_back(path.toStdString());
    });
    QTimer failure_summary;
    QObject::connect(&failure_summary, &QTimer::timeout, [&] {
        const CRecorderMonitor::Status status = session.RecorderStatus();
        if (status.dropped_frames != dropped_at_last_line) {
            PrintLine(std::to_string(status.dropped_frames - dropped_at_last_line) + " frame(s) dropped in the last " +
                      std::to_string(kFailureSummaryIntervalMs / 1000) + " s: the encoders do not keep up");
            dropped_at_last_line = status.dropped_frames;
        }
        if (status.failure_cause.empty() || status.failed_frames == failed_at_last_line) return;
        PrintLine(std::to_string(status.failed_frames - failed_at_last_line) + " frame(s) not stored in the last " +
                  std::to_string(kFailureSummaryIntervalMs / 1000) + " s: " + status.failure_detail);
        failed_at_last_line = status.failed_frames;
    });
    failure_summary.start(kFailureSummaryIntervalMs);

    g_stop_signal.store(0);
    auto previous_int = std::signal(SIGINT, OnStopSignal);
    auto previous_term = std::signal(SIGTERM, OnStopSignal);
    // A file size limit fails the write with EFBIG, which is reported like a full disk, instead
    // of killing the run before its archive is finished and summed up.
    auto previous_xfsz = std::signal(SIGXFSZ, SIG_IGN);
    const auto started = std::chrono::steady_clock::now();
    const bool is_started = session.Start();
    while (is_started && !is_ended && g_stop_signal.load() == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // In order: no viewers, no more frames, then the open archive gets its trailer.
    server.Stop();
    session.Stop();
    QCoreApplication::processEvents();  // the last events of the recorder, the end of the last motion event
    session.FinishEventCommands();
    QCoreApplication::processEvents();  // what the commands did
    session.FinishRetention();          // the finished archive may have passed a limit
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::signal(SIGINT, previous_int);
    std::signal(SIGTERM, previous_term);
    std::signal(SIGXFSZ, previous_xfsz);
    if (!is_started) {
        if (!messages.HasSaidFailure()) messages.SayFailure("the camera did not start: " + session.State().lost_reason);
        return kCliFailure;
    }

    const CRecorderMonitor::Status status = session.RecorderStatus();
    if (status.failed_frames > 0) {
        PrintLine(std::to_string(status.failed_frames) + " frame(s) could not be recorded: " + last_failure);
    }
    if (status.dropped_frames > 0) {
        PrintLine(std::to_string(status.dropped_frames) + " frame(s) dropped: the encoders did not keep up");
    }
    // Every archive the run deleted, its own or earlier runs', to keep the limits or for room;
    // one of its own deleted is not among those it kept.
    QJsonArray archives;
    for (const std::string& archive : session.Archives()) {
        if (std::find(deleted.begin(), deleted.end(), archive) == deleted.end())
            archives.append(cli::JsonName(archive));
    }
    QJsonArray deleted_archives;
    for (size_t i = 0; i < deleted.size(); ++i) {
        if (std::find(deleted.begin(), deleted.begin() + static_cast<std::ptrdiff_t>(i), deleted[i]) ==
            deleted.begin() + static_cast<std::ptrdiff_t>(i))
            deleted_archives.append(cli::JsonName(deleted[i]));
    }
    const QJsonObject summary{{"frames", static_cast<qint64>(session.FramesProcessed())},
                              {"recorded", static_cast<qint64>(status.stored_frames)},
                              {"failed", static_cast<qint64>(status.failed_frames)},
                              {"dropped", static_cast<qint64>(status.dropped_frames)},
                              {"reconnects", session.Reconnects()},
                              {"events", static_cast<qint64>(session.EventsBegun())},
                              {"archives", archives},
                              {"deleted", deleted_archives},
                              {"seconds", std::round(seconds * 1000.0) / 1000.0}};
    if (!cli::PrintJsonLine(summary)) return kCliFailure;
    return status.failed_frames > 0 || is_failed ? kCliFailure : kCliSuccess;
}

std::vector<CliOption> WithListenOptions(std::vector<CliOption> options) {
    for (CliOption& option : ListenCliOptions()) options.push_back(std::move(option));
    return options;
}

const CliCommandRegistration kRecord{{
    .name = "record",
    .synopsis =
        "(--storage DIR | --program-folder DIR) (--camera NAME | --source DESCRIPTION | --url URL [--password-file "
        "FILE] "
        "[--transport auto|tcp|udp]) --mode off|motion|always "
        "[--frames N] [--threshold T] [--show-detector] [--width W --height H] [--no-retry] [--max-size SIZE] "
        "[--min-free SIZE] [--pre-roll SECONDS] [--post-roll SECONDS] [--min-blocks N] [--frames-in-a-row K] "
        "[--light-change PERCENT] [--mask FILE] [--on-event COMMAND] [--listen ADDRESS:PORT [--password-file FILE] "
        "[--tls-cert FILE --tls-key FILE] [--insecure-http]]",
    .summary = "records from a camera or a GStreamer source into archives, headless; a JSON summary at the end",
    .options = WithListenOptions(WithDetectorOptions(
        {{"storage", "DIR", "record into the day folders of DIR (or --program-folder)"},
         {"program-folder", "DIR", "record into DIR/Storage (or --storage)"},
         {"camera", "NAME", "the camera of that name, as the program lists it"},
         {"source", "DESCRIPTION",
          "a gst-launch description instead of a camera, ending in raw video or JPEG, with a caps string at its "
          "end if wanted ('videotestsrc ! video/x-raw,width=1280,height=720'); a source whose pads appear "
          "later (uridecodebin, decodebin, a demuxer) is linked when its first video pad appears"},
         {"url", "URL",
          "a network camera: rtsp://, rtsps://, http:// or https:// (MJPEG), with user:password@ if wanted; the "
          "password file, as user:password on its first line, gives them instead (the password is never shown)"},
         {"transport", "MODE",
          "how an RTSP camera's packets travel: auto (UDP, then TCP), tcp (through firewalls, or when frames break "
          "up) or udp"},
         {"mode", "MODE", "what is saved: off, motion or always (required)"},
         {"frames", "N", "stop after N frames"},
         {"threshold", "T", "the motion detector's threshold, 0 to 255 (20)"},
         {"show-detector", "",
          "run the motion detector and mark moving blocks, as the program's option does; archives stay unmarked"},
         {"width", "W", "the frame width asked of the camera, 1 to 8192 (the largest an archive holds), with --height"},
         {"height", "H",
          "the frame height asked of the camera, 1 to 8192 (the largest an archive holds), with --width"},
         {"no-retry", "", "end the run when the camera is lost instead of trying it again"},
         {"max-size", "SIZE", "delete the oldest archives to keep the recordings under SIZE (K, M, G, T)"},
         {"min-free", "SIZE", "delete the oldest archives to keep SIZE free on the disk (K, M, G, T)"},
         {"on-event", "COMMAND",
          "run COMMAND with /bin/sh -c at each motion event's start and end, with CINDRAL_EVENT, "
          "CINDRAL_ARCHIVE, CINDRAL_TIME and CINDRAL_CAMERA set"}})),
    .run = &RunRecord,
}};

}  // namespace
