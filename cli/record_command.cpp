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
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gst/gst.h>
#include <unistd.h>

#include <QCoreApplication>

#include "capture/capture_messages.h"
#include "capture/web_camera_dlg.h"
#include "cli/cli_command.h"
#include "recording/frame_archive.h"
#include "recording/frame_pipeline.h"
#include "recording/settings.h"

namespace {

constexpr char kUsage[] =
    "record --program-folder DIR (--camera NAME | --source 'gst-launch description') --mode off|motion|always "
    "[--frames N] [--threshold T] [--show-detector] [--width W --height H]";
constexpr char kSourceCameraName[] = "cindral-cli source";

std::atomic<int> g_stop_signal{0};

void OnStopSignal(int signal_number) { g_stop_signal.store(signal_number); }

struct RecordOptions {
    std::string program_folder;
    std::string camera;
    std::string source;
    int32_t saving_mode = kSavingOff;
    int64_t frame_limit = 0;  // 0 = no limit
    int32_t threshold = 20;
    bool show_detector = false;
    int32_t width = 0;
    int32_t height = 0;
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
        if (i + 1 >= arguments.size()) return fail("missing value after " + option);
        const std::string& value = arguments[++i];
        int64_t number = 0;
        if (option == "--program-folder") {
            options.program_folder = value;
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
    if (options.program_folder.empty()) return fail("--program-folder is required");
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
        ++count;
    }
    int count = 0;
};

// Counts the frames that reached an archive and the archives created (streaming thread).
class CountingRecorder : public IFrameRecorder {
public:
    explicit CountingRecorder(CFrameArchive& archive) : archive_(archive) {
        archive_.SetFileCreatedCallback([this](const std::string& path) {
            std::lock_guard<std::mutex> lock(mutex_);
            paths_.push_back(path);
        });
    }
    bool WriteFrame(const BMP_File& frame) override {
        const bool is_written = archive_.WriteFrame(frame);
        if (is_written) {
            recorded_.fetch_add(1);
        } else {
            failed_.fetch_add(1);
            std::lock_guard<std::mutex> lock(mutex_);
            last_error_ = archive_.GetLastError();
        }
        return is_written;
    }
    int64_t Failed() const { return failed_.load(); }
    std::string LastError() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_error_;
    }
    bool CloseFile() override { return archive_.CloseFile(); }
    int64_t Recorded() const { return recorded_.load(); }
    std::vector<std::string> Paths() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_;
    }

private:
    CFrameArchive& archive_;
    std::atomic<int64_t> recorded_{0};
    std::atomic<int64_t> failed_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
    std::string last_error_;
};

// Hands frames to the pipeline until the limit; frames after it are not processed.
class LimitedReceiver : public IFrameReceiver {
public:
    LimitedReceiver(CFramePipeline& pipeline, int64_t limit) : pipeline_(pipeline), limit_(limit) {}
    void ProcessFrame(const uint8_t* pixels, size_t size_bytes) override {
        if (limit_ > 0 && processed_.load() >= limit_) return;
        pipeline_.ProcessFrame(pixels, size_bytes);
        if (processed_.fetch_add(1) + 1 == limit_) is_limit_reached_.store(true);
    }
    int64_t Processed() const { return processed_.load(); }
    bool IsLimitReached() const { return is_limit_reached_.load(); }

private:
    CFramePipeline& pipeline_;
    const int64_t limit_;
    std::atomic<int64_t> processed_{0};
    std::atomic<bool> is_limit_reached_{false};
};

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int RunRecord(const std::vector<std::string>& arguments) {
    const std::optional<RecordOptions> options = ParseOptions(arguments);
    if (!options) return 2;
    if (::access(options->program_folder.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "cindral-cli record: cannot record into %s: %s\n", options->program_folder.c_str(),
                     std::strerror(errno));
        return 1;
    }
    GError* raw_error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &raw_error)) {
        std::fprintf(stderr, "cindral-cli record: GStreamer: %s\n", raw_error ? raw_error->message : "unknown");
        if (raw_error) g_error_free(raw_error);
        return 1;
    }
    // The capture object reports the end of the source through the Qt event loop of this thread.
    std::unique_ptr<QCoreApplication> application;
    static int qt_argc = 1;
    static char qt_name[] = "cindral-cli";
    static char* qt_argv[] = {qt_name, nullptr};
    if (!QCoreApplication::instance()) application = std::make_unique<QCoreApplication>(qt_argc, qt_argv);

    CindralSettings settings;
    settings.camera_name = options->camera.empty() ? kSourceCameraName : options->camera;
    settings.frame_width = options->width;
    settings.frame_height = options->height;
    settings.frame_duration_100ns = 0;
    settings.saving_mode = options->saving_mode;
    settings.threshold = options->threshold;
    settings.show_detector = options->show_detector ? 1 : 0;

    std::string folder = options->program_folder;
    if (folder.back() != '/') folder += '/';
    CFrameArchive archive(folder);
    CountingRecorder recorder(archive);
    CFramePipeline pipeline(settings, recorder, nullptr);
    pipeline.AttachSettings(true);
    LimitedReceiver receiver(pipeline, options->frame_limit);
    StderrMessages messages;

    g_stop_signal.store(0);
    auto previous_int = std::signal(SIGINT, OnStopSignal);
    auto previous_term = std::signal(SIGTERM, OnStopSignal);

    const auto started = std::chrono::steady_clock::now();
    bool is_ended = false;
    auto capture = std::make_unique<CWebCameraDlg>(messages);
    capture->SetClockSync(false);
    capture->SetFrameReceiver(&receiver);
    capture->SetStreamEndHandler([&is_ended] { is_ended = true; });
    if (!options->source.empty()) capture->AddCamera(kSourceCameraName, options->source);
    if (!capture->Init(settings.camera_name, &settings.frame_width, &settings.frame_height,
                       &settings.frame_duration_100ns)) {
        capture.reset();
        std::signal(SIGINT, previous_int);
        std::signal(SIGTERM, previous_term);
        return 1;
    }
    const int messages_at_start = messages.count;
    while (!is_ended && !receiver.IsLimitReached() && g_stop_signal.load() == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // In order: no more frames, then the open archive gets its trailer.
    capture.reset();
    archive.CloseFile();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::signal(SIGINT, previous_int);
    std::signal(SIGTERM, previous_term);

    std::string summary = "{\"frames\":" + std::to_string(receiver.Processed()) +
                          ",\"recorded\":" + std::to_string(recorder.Recorded()) + ",\"archives\":[";
    const std::vector<std::string> paths = recorder.Paths();
    for (size_t i = 0; i < paths.size(); ++i) summary += (i ? "," : "") + JsonString(paths[i]);
    char seconds_text[32];
    std::snprintf(seconds_text, sizeof seconds_text, "%.3f", seconds);
    summary += std::string("],\"seconds\":") + seconds_text + "}";
    if (recorder.Failed() > 0) {
        std::fprintf(stderr, "cindral-cli record: %lld frame(s) could not be recorded: %s\n",
                     static_cast<long long>(recorder.Failed()), recorder.LastError().c_str());
    }
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    // A source that failed while running has been reported above.
    return messages.count > messages_at_start || recorder.Failed() > 0 ? 1 : 0;
}

const CliCommandRegistration kRecord{{"record", kUsage,
                                      "record from a camera or a GStreamer source into archives, headless",
                                      &RunRecord}};

}  // namespace
