#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "archive/archive_format.h"
#include "platform/posix_file.h"

class CArchiveFlusher;

// Writes archive (.CNA) files from finished JPEG streams: the header, one record per frame, the
// trailer; a record that fails is cut off again, and a full disk is given room by the room maker.
// Files go to storage_folder + "YYYYMMDD/", one per episode. One thread at a time.
class CArchiveWriter {
public:
    explicit CArchiveWriter(std::string storage_folder);
    // The last flushes are done before the object goes; an open file is left as it stands.
    ~CArchiveWriter();
    CArchiveWriter(const CArchiveWriter&) = delete;
    CArchiveWriter& operator=(const CArchiveWriter&) = delete;

    // Appends a finished stream, starting a file when none is open; stamp null: the record is
    // stamped as it is written. continues_stamps: a file begun for it goes on from the stamps
    // taken before it (frames held before an event). False also when a flush to the disk failed
    // since the last record (this one is stored).
    bool Store(const uint8_t* jpeg, uint32_t size, int quality, const double* stamp, bool continues_stamps = false);
    bool StartNewFile(bool continues_stamps = false);
    // Finishes the open file with its trailer; it is flushed and closed off this thread. False
    // when the trailer could not be written (the file then still reads up to its record count).
    bool Finish();
    bool IsOpen() const { return is_open_; }
    // Path of the open file, empty while none is.
    const std::string& GetPath() const { return path_; }

    // What the last failing operation ran into; empty after a success. The cause says the same
    // without file names. Fail sets both, for a frame refused before it reached the file.
    const std::string& GetLastError() const { return last_error_; }
    const std::string& GetLastErrorCause() const { return last_cause_; }
    bool Fail(std::string message);
    void SetLastError(std::string message, std::string cause);
    int GetLastFrameQuality() const { return last_frame_quality_; }
    uint32_t GetLastFrameBytes() const { return last_frame_bytes_; }

    // The stamps of records written in place (no stamp given); held frames take theirs from it too.
    RecordStampClock& Stamps() { return stamps_; }
    const ArchiveClock& Clock() const { return clock_; }
    // Replaces the tick counter and wall clock the files are named, stamped and flushed by.
    void SetClock(ArchiveClock clock) { clock_ = std::move(clock); }
    // Where the next file begins; the open one stays where it is. Any thread.
    void SetStorageFolder(std::string storage_folder);
    std::string GetStorageFolder() const;
    // Called on the writing thread when a record finds the disk full; true when it made room
    // (deleted an archive), and the record is tried again. Unset: the record is not stored.
    void SetRoomMaker(std::function<bool()> make_room) { make_room_ = std::move(make_room); }
    void SetFileCreatedCallback(std::function<void(const std::string&)> on_created) {
        on_file_created_ = std::move(on_created);
    }
    void SetRecordStoredCallback(std::function<void(const uint8_t* jpeg, uint32_t size)> on_stored) {
        on_record_stored_ = std::move(on_stored);
    }
    // Flushes about once a second while a file is written, and a finished file with its folders,
    // on a thread of its own. Set while idle.
    void SetFileSync(FileSync sync);
    // Waits until every flush asked for so far has been done.
    void WaitForFlushes();

private:
    // A failed system call on path: the message names the file, the cause does not.
    bool FailWrite(const std::string& what, const std::string& path);
    bool CreateFile(const std::string& folder, const std::string& base_name);
    bool WriteHeader(bool continues_stamps);
    bool AppendRecord(const uint8_t* jpeg, uint32_t jpeg_length, const double* stamp);
    bool WriteTrailer();
    void RollBack();

    // Set from the user-interface thread, read when a file begins.
    mutable std::mutex storage_folder_mutex_;
    std::string storage_folder_;
    ArchiveClock clock_ = ArchiveClock::System();
    FileSync file_sync_ = FileSync::System();
    std::unique_ptr<CArchiveFlusher> flusher_;  // made when the first file begins
    std::string last_error_;
    std::string last_cause_;
    int last_errno_ = 0;  // of the last failed system call
    std::function<bool()> make_room_;
    std::function<void(const std::string&)> on_file_created_;
    std::function<void(const uint8_t*, uint32_t)> on_record_stored_;

    RecordStampClock stamps_{&clock_};
    UniqueFd fd_;
    bool is_open_ = false;
    std::string path_;
    std::string path_storage_folder_;  // the storage folder path_ lies in
    int32_t written_count_ = 0;
    int64_t end_ = 0;  // end of the last complete record
    int last_frame_quality_ = 0;
    uint32_t last_frame_bytes_ = 0;
};
