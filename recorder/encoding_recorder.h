#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "picture/packed_picture.h"
#include "platform/posix_file.h"
#include "recorder/frame_pipeline.h"
#include "recorder/pre_roll.h"

// What became of one frame, or of a close, told by the thread that writes. The strings belong to
// the archive and are valid during the call.
struct RecordOutcome {
    enum class Kind {
        kStored,   // the frame is in the archive
        kFailed,   // the frame could not be stored (cause, detail)
        kDropped,  // every encoder was busy: the frame was not taken (told on the recording thread)
        kClosed,   // the open archive, if any, was finished; !is_ok: its trailer failed (cause, detail)
    };
    Kind kind = Kind::kStored;
    bool is_ok = true;
    const std::string* open_path = nullptr;  // the archive open after it; empty when none
    const std::string* cause = nullptr;
    const std::string* detail = nullptr;
    int quality = 0;
    uint32_t bytes = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Records frames into archive (.CNA) files: encodes them (on the calling thread, or on a pool of
// workers with one writer), holds the frames before an event, and tells what became of each.
// The files themselves are written by CArchiveWriter.
class CEncodingRecorder : public IFrameRecorder {
public:
    static constexpr uint32_t kJpegBufferSize = 655360;
    static constexpr uint32_t kEndMarker = 0x13572468;

    // Archives go to storage_folder + "YYYYMMDD/" (the storage folder is created when missing,
    // its parent is not).
    explicit CEncodingRecorder(std::string storage_folder = {});
    ~CEncodingRecorder() override;
    CEncodingRecorder(const CEncodingRecorder&) = delete;
    CEncodingRecorder& operator=(const CEncodingRecorder&) = delete;

    // --- recording ---
    // Encodes and appends the frame, starting a file when none is open. A frame whose JPEG
    // would not fit kJpegBufferSize is encoded at a lower quality, or stored as a longer record.
    // False also when a flush to the disk failed since the last frame (this frame is stored).
    bool WriteFrame(const BMP_File& frame) override;
    // The same from the camera's own JPEG when it can be kept (made to fit the archive's rules),
    // else from the frame's 4:2:0 planes, else from its picture.
    bool WriteCleanFrame(const CleanFrame& frame) override;
    bool TakesPlanes() const override { return true; }
    bool TakesCameraFrames() const override;
    // A whole baseline 4:2:0 stream of this size that fits kJpegBufferSize once fitted.
    bool TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const override;
    // Finishes the open file with its trailer; false when the trailer could not be written (the
    // file then still reads up to its record count). The file is flushed and closed off this
    // thread; a flush or close that fails is reported by the next WriteFrame.
    bool CloseFile() override;
    // Frames held before an event, within kPreRollByteLimit: encoded like any frame (on the
    // workers while they run) and held by the thread that writes, which stores them when
    // WriteHeldFrames comes, in its place among the frames.
    void HoldCleanFrame(const CleanFrame& frame, int64_t time_ms, int64_t keep_from_ms) override;
    int64_t WriteHeldFrames(int64_t from_ms) override;
    void LetGoOfHeldFrames() override;
    PreRollStatus GetHeldStatus() const override;
    // The bound of the frames held, kPreRollByteLimit unless set (tests); any thread.
    void SetHeldByteLimit(uint64_t bytes);
    // Appends a finished JPEG with its own capture stamp, in order with the frames around it. A
    // stream the archive cannot keep as it is, is made to fit as a camera's stream is; false when
    // it cannot be, or was dropped.
    bool WriteEncodedFrame(std::vector<uint8_t> jpeg, int32_t width, int32_t height, double record_stamp);
    bool StartNewFile();
    bool IsWriteOpen() const;
    // Path of the archive being written, empty while idle.
    const std::string& GetWritePath() const;
    // Called on the recording thread when a frame finds the disk full; true when it made room
    // (deleted an archive), and the frame is tried again. Unset: the frame is not stored.
    void SetRoomMaker(std::function<bool()> make_room);
    // Called with the path of every archive file the recorder creates.
    void SetFileCreatedCallback(std::function<void(const std::string&)> on_created);
    // Called with the JPEG of every record once it is stored, on the thread that stored it.
    void SetRecordStoredCallback(std::function<void(const uint8_t* jpeg, uint32_t size)> on_stored);
    // Replaces the tick counter and wall clock the recorder names, stamps and flushes its files by.
    void SetClock(ArchiveClock clock);
    // Where the next file begins; the open one stays where it is. Any thread.
    void SetStorageFolder(std::string storage_folder);
    std::string GetStorageFolder() const;
    // Where the recorder flushes to the disk: its data about once a second while it records, and a
    // finished file with its day folder and storage folder, on a thread of its own. Set while idle.
    void SetFileSync(FileSync sync);
    // Waits until every flush asked for so far has been done.
    void WaitForFlushes();

    // What the last failing operation ran into; empty after a success.
    const std::string& GetLastError() const;
    // The same without file names, so that one cause reads the same for every frame it hits
    // ("cannot create archive: Permission denied").
    const std::string& GetLastErrorCause() const;
    // Quality and length of the last frame WriteFrame stored.
    int GetLastFrameQuality() const;
    uint32_t GetLastFrameBytes() const;

    // --- encoding on other threads ---
    // With workers > 0, frames are encoded by that many threads (CEncodePool::DefaultWorkerCount()
    // is the program's choice), each starting at the quality the last frames needed, and written
    // in capture order by one writer thread, with the time they were captured. WriteFrame,
    // WriteCleanFrame, WriteEncodedFrame and CloseFile then only queue and return at once: false
    // when every encoder is busy and the frame was dropped. What became of each frame reaches the
    // outcome callback from the writer; the last-error and last-frame getters describe the
    // writer's latest and are read after WaitForWrites. 0, the default: the same pool without
    // threads, so each frame is encoded (every frame from the highest quality down) and written on
    // the calling thread before the call returns, which then says whether it was stored. Set while
    // idle, from the thread that records.
    void SetEncodeWorkers(int workers);
    int GetEncodeWorkers() const;
    // A source that is not live (a file read as fast as it goes) waits for a free encoder instead
    // of losing the frame. Any thread.
    void SetWaitsForEncoders(bool is_waiting);
    // Waits until everything queued so far has been written.
    void WaitForWrites();
    // The room the frame pass writes a frame's planes into, handed to WriteCleanFrame as its
    // planes; null when every encoder is busy (the frame is dropped and told as such).
    bool LendsPlanes() const override;
    JpegPlaneRoom* LendPlanes(int32_t width, int32_t height) override;
    void ReturnPlanes() override;
    // Called with what became of every frame and close. Set while idle.
    void SetOutcomeCallback(std::function<void(const RecordOutcome&)> on_outcome);
    struct EncodeCounts {
        int64_t frames = 0;   // frames encoded on the workers
        int64_t encodes = 0;  // encodes that took
        int64_t dropped = 0;
    };
    EncodeCounts GetEncodeCounts() const;

protected:
    // A reader's failure becomes the last error, as a writer's would.
    void SetLastError(const std::string& error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
