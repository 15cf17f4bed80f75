#include "archive/archive_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "archive/archive_flusher.h"
#include "platform/ole_date.h"

namespace fmt = archive_format;

CArchiveWriter::CArchiveWriter(std::string storage_folder) : storage_folder_(std::move(storage_folder)) {}

CArchiveWriter::~CArchiveWriter() { flusher_.reset(); }

bool CArchiveWriter::Fail(std::string message) {
    last_error_ = std::move(message);
    last_cause_ = last_error_;
    return false;
}

void CArchiveWriter::SetLastError(std::string message, std::string cause) {
    last_error_ = std::move(message);
    last_cause_ = std::move(cause);
}

bool CArchiveWriter::FailWrite(const std::string& what, const std::string& path) {
    last_errno_ = errno;
    const std::string reason = ErrnoText(errno);
    last_error_ = what + " " + path + ": " + reason;
    last_cause_ = what + ": " + reason;
    return false;
}

bool CArchiveWriter::CreateFile(const std::string& folder, const std::string& base_name) {
    // Never replace an existing archive: tick counts repeat after a restart of the system.
    for (int suffix = 0; suffix < 1000; ++suffix) {
        const std::string name = suffix == 0 ? base_name + ".CNA" : base_name + "_" + std::to_string(suffix) + ".CNA";
        const std::string path = folder + name;
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.IsOpen()) {
            fd_ = std::move(fd);
            path_ = path;
            return true;
        }
        if (errno != EEXIST) return FailWrite("cannot create archive", path);
    }
    SetLastError("cannot create archive " + folder + base_name + ".CNA: every name is taken",
                 "cannot create archive: every name is taken");
    return false;
}

bool CArchiveWriter::WriteHeader(bool continues_stamps) {
    const double created = stamps_.StartFile(continues_stamps);
    written_count_ = 0;
    uint8_t header[fmt::kHeaderSize];
    fmt::WriteDouble(header, created);
    // The first half of the creation stamp is where the count lives; a file that never
    // receives a record must still read as empty.
    fmt::WriteU32(header, 0);
    if (!WriteAllAt(fd_.Get(), 0, header, sizeof header)) return FailWrite("cannot write the header of", path_);
    end_ = fmt::kHeaderSize;
    return true;
}

void CArchiveWriter::RollBack() {
    // Cut the partial record off so that the next record follows the last complete one.
    if (::ftruncate(fd_.Get(), static_cast<off_t>(end_)) != 0) {
        last_error_ += "; " + ErrnoMessage("cannot cut partial record off " + path_) + "; file closed";
        // The file stays valid up to its count; the next frame starts a new file.
        fd_.Reset();
        is_open_ = false;
        path_.clear();
    }
}

bool CArchiveWriter::AppendRecord(const uint8_t* jpeg, uint32_t jpeg_length, const double* stamp) {
    uint8_t head[fmt::kRecordHeadSize];
    fmt::WriteDouble(head, stamp != nullptr ? *stamp : stamps_.NextRecordStamp());
    fmt::WriteU32(head + 8, jpeg_length);
    if (!WriteAllAt(fd_.Get(), end_, head, sizeof head, jpeg, jpeg_length)) {
        FailWrite("cannot append a frame to", path_);
        RollBack();
        return false;
    }
    uint8_t count[4];
    fmt::WriteU32(count, static_cast<uint32_t>(written_count_ + 1));
    if (!WriteAllAt(fd_.Get(), 0, count, sizeof count)) {
        FailWrite("cannot update the record count of", path_);
        RollBack();
        return false;
    }
    ++written_count_;
    end_ += fmt::kRecordHeadSize + jpeg_length;
    flusher_->Appended(fd_.Get(), clock_.tick_ms());
    return true;
}

bool CArchiveWriter::WriteTrailer() {
    uint8_t trailer[fmt::kTrailerSize];
    fmt::WriteDouble(trailer, stamps_.NowWholeSeconds());
    fmt::WriteU32(trailer + 8, fmt::kEndMarker);
    fmt::WriteU32(trailer + 12, static_cast<uint32_t>(written_count_));
    written_count_ = 0;
    if (!WriteAllAt(fd_.Get(), end_, trailer, sizeof trailer)) {
        FailWrite("cannot write the trailer of", path_);
        if (::ftruncate(fd_.Get(), static_cast<off_t>(end_)) != 0) {
            // Nothing more to do: the count at offset 0 still tells the readers where to stop.
        }
        return false;
    }
    return true;
}

bool CArchiveWriter::Finish() {
    if (!is_open_) return true;
    const bool is_finished = WriteTrailer();
    // Flushed and closed off this thread; the day folder holds its name, the storage folder the day's.
    flusher_->Finished(std::move(fd_), {FolderOf(path_), path_storage_folder_});
    if (is_finished) {
        last_error_.clear();
        last_cause_.clear();
    }
    is_open_ = false;
    path_.clear();
    return is_finished;
}

bool CArchiveWriter::Store(const uint8_t* jpeg, uint32_t size, int quality, const double* stamp,
                           bool continues_stamps) {
    if (size > fmt::kMaxRecordBytes) {
        return Fail("frame not stored: its JPEG of " + std::to_string(size) + " bytes exceeds the longest record");
    }
    // A flush that failed since the last frame may have lost what was written before it.
    const std::string flush_failure = flusher_ ? flusher_->TakeFailure() : std::string();
    last_errno_ = 0;
    // A full disk: each room made (an old archive deleted) gives the frame another try.
    while (!((is_open_ || StartNewFile(continues_stamps)) && AppendRecord(jpeg, size, stamp))) {
        if (last_errno_ != ENOSPC || !make_room_ || !make_room_()) return false;
        last_errno_ = 0;
    }
    if (on_record_stored_) on_record_stored_(jpeg, size);
    if (!flush_failure.empty()) {
        last_error_ = flush_failure;
        last_cause_ = flush_failure;
        return false;
    }
    last_frame_quality_ = quality;
    last_frame_bytes_ = size;
    last_error_.clear();
    last_cause_.clear();
    return true;
}

bool CArchiveWriter::StartNewFile(bool continues_stamps) {
    if (is_open_) Finish();
    std::string folder = GetStorageFolder();
    if (folder.empty()) return Fail("no storage folder to record into");
    const auto today = LocalCalendar(clock_.wall_seconds());
    if (!today) return Fail("cannot read the local date");

    if (folder.back() != '/') folder += '/';
    path_storage_folder_ = folder;
    ::mkdir(folder.c_str(), 0777);  // usually exists already; creating the file tells
    char day[32];
    std::snprintf(day, sizeof day, "%04d%02d%02d", today->year, today->month, today->day);
    folder += day;
    ::mkdir(folder.c_str(), 0777);
    folder += '/';

    char base_name[16];
    std::snprintf(base_name, sizeof base_name, "%d", static_cast<int32_t>(clock_.tick_ms()));
    if (!CreateFile(folder, base_name)) return false;
    if (!WriteHeader(continues_stamps)) {
        // Nothing of worth is in the file: remove it and stay idle; the next frame tries again.
        ::unlink(path_.c_str());
        fd_.Reset();
        path_.clear();
        return false;
    }
    is_open_ = true;
    if (!flusher_) flusher_ = std::make_unique<CArchiveFlusher>(file_sync_);
    flusher_->Started(clock_.tick_ms());
    if (on_file_created_) on_file_created_(path_);
    return true;
}

void CArchiveWriter::SetStorageFolder(std::string storage_folder) {
    const std::lock_guard<std::mutex> lock(storage_folder_mutex_);
    storage_folder_ = std::move(storage_folder);
}

std::string CArchiveWriter::GetStorageFolder() const {
    const std::lock_guard<std::mutex> lock(storage_folder_mutex_);
    return storage_folder_;
}

void CArchiveWriter::SetFileSync(FileSync sync) {
    flusher_.reset();
    file_sync_ = std::move(sync);
}

void CArchiveWriter::WaitForFlushes() {
    if (flusher_) flusher_->WaitIdle();
}
