#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "recorder/encoding_recorder.h"
#include "recorder/frame_pipeline.h"

// One change in what the recorder does, as the monitor reports it.
struct RecorderEvent {
    enum class Kind {
        kFileStarted,      // path: the archive now being written
        kFileFinished,     // path: the archive just finished (detail holds the failure, if any)
        kFailed,           // cause: a failure not yet reported in this episode; detail: the full text
        kRecovered,        // a frame was stored again after failures
        kQualityFallback,  // detail: how the first frame of an episode of oversized frames was stored
        kDropped,          // the first frame of an archive dropped because every encoder was busy; detail: why
        kFrameLost,        // cause: a camera frame could not be used, not yet reported; detail: the full text
    };
    Kind kind;
    std::string path;
    std::string cause;
    std::string detail;
};

// Stands between the frame pipeline and the recorder: counts what was stored and what was not,
// keeps the open archive and the failure in force, and reports each change once through the
// event handler, on the thread that writes (a drop on the thread that records). A failure episode lasts from the first
// frame that is not stored to the next one that is; each distinct cause (what the system said, whichever step it
// stopped) is reported once per episode.
class CRecorderMonitor : public IFrameRecorder {
public:
    using EventHandler = std::function<void(const RecorderEvent&)>;

    explicit CRecorderMonitor(CEncodingRecorder& archive);
    // Waits for what the archive still has to write, which it tells this monitor.
    ~CRecorderMonitor() override;
    CRecorderMonitor(const CRecorderMonitor&) = delete;
    CRecorderMonitor& operator=(const CRecorderMonitor&) = delete;

    // Set before frames flow.
    void SetEventHandler(EventHandler handler) { on_event_ = std::move(handler); }
    // Keeps the path of every archive created, for a summary at the end of a bounded run; off by
    // default, so a program left running for days does not grow a list.
    void SetKeepsArchiveList(bool is_kept) { is_archive_list_kept_ = is_kept; }

    bool WriteFrame(const BMP_File& frame) override;
    bool WriteCleanFrame(const CleanFrame& frame) override;
    bool TakesPlanes() const override;
    bool TakesCameraFrames() const override;
    bool TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const override;
    bool LendsPlanes() const override;
    JpegPlaneRoom* LendPlanes(int32_t width, int32_t height) override;
    bool CloseFile() override;
    void HoldCleanFrame(const CleanFrame& frame, int64_t time_ms, int64_t keep_from_ms) override;
    int64_t WriteHeldFrames(int64_t from_ms) override;
    void LetGoOfHeldFrames() override;
    PreRollStatus GetHeldStatus() const override;
    // Counted as failed; each cause is reported once (frames of a damaged stream may come
    // between good ones, and are not a failure episode of the recorder).
    void FrameLost(const std::string& cause, const std::string& detail) override;

    // Forgets the failure in force (saving was switched off); a later failure is new again.
    void ClearFailure();

    struct Status {
        std::string open_path;      // empty while no archive is open
        int64_t opened_at_ms = 0;   // monotonic clock, when the open archive began
        std::string failure_cause;  // empty while frames are stored
        std::string failure_detail;
        int64_t stored_frames = 0;
        int64_t failed_frames = 0;
        int64_t dropped_frames = 0;  // not taken because every encoder was busy
    };
    // Any thread.
    Status GetStatus() const;
    // Every archive created, oldest first, when the list is kept.
    std::vector<std::string> GetArchives() const;

private:
    void OnOutcome(const RecordOutcome& outcome);
    void Report(const RecorderEvent& event);

    CEncodingRecorder& archive_;
    EventHandler on_event_;

    mutable std::mutex mutex_;
    Status status_;
    std::vector<std::string> archives_;
    bool is_archive_list_kept_ = false;
    std::set<std::string> reported_causes_;  // in the current failure episode
    std::set<std::string> reported_lost_causes_;
    bool is_failing_ = false;
    bool is_in_fallback_ = false;    // writing thread only
    bool is_drop_reported_ = false;  // in the current archive
};
