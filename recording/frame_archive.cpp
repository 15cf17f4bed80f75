#include "recording/frame_archive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ole_date.h"
#include "platform/posix_file.h"
#include "recording/archive_flusher.h"
#include "recording/jpeg_codec.h"
#include "recording/jpeg_stream.h"

namespace fmt = archive_format;

struct CFrameArchive::Impl {
    explicit Impl(std::string folder)
        : storage_folder(std::move(folder)), stamps(&clock) {}

    // Set from the user-interface thread, read when a file begins.
    std::mutex storage_folder_mutex;
    std::string storage_folder;
    ArchiveClock clock = ArchiveClock::System();
    FileSync file_sync = FileSync::System();
    std::unique_ptr<CArchiveFlusher> flusher;  // made when the first file begins
    JpegCodec codec;
    std::vector<uint8_t> camera_jpeg;  // a camera's JPEG made to fit; kJpegBufferSize once used
    std::string last_error;
    std::string last_cause;
    int last_errno = 0;  // of the last failed system call
    std::function<bool()> make_room;

    // Writing.
    RecordStampClock stamps;
    UniqueFd write_fd;
    bool is_write_open = false;
    std::string write_path;
    std::string write_storage_folder;  // the storage folder write_path lies in
    int32_t written_count = 0;
    int64_t write_end = 0;  // end of the last complete record
    int last_frame_quality = 0;
    uint32_t last_frame_bytes = 0;
    std::function<void(const std::string&)> on_file_created;
    std::function<void(const uint8_t*, uint32_t)> on_record_stored;

    bool Fail(std::string message) {
        last_error = std::move(message);
        last_cause = last_error;
        return false;
    }
    // A failed system call on path: the message names the file, the cause does not.
    bool FailWrite(const std::string& what, const std::string& path) {
        last_errno = errno;
        const std::string reason = ErrnoText(errno);
        last_error = what + " " + path + ": " + reason;
        last_cause = what + ": " + reason;
        return false;
    }

    // --- writing ---
    bool EncodeFrame(const CleanFrame& frame, JpegCodec::ArchiveJpeg* jpeg);
    bool CreateArchiveFile(const std::string& folder, const std::string& base_name);
    bool WriteHeader();
    bool AppendRecord(const uint8_t* jpeg, uint32_t jpeg_length);
    bool WriteTrailer();
    void RollBack();
    bool FinishWriting();
};

// ---------------------------------------------------------------- writing

bool CFrameArchive::Impl::EncodeFrame(const CleanFrame& frame, JpegCodec::ArchiveJpeg* jpeg) {
    if (frame.camera_jpeg != nullptr) {
        if (camera_jpeg.size() < kJpegBufferSize) camera_jpeg.resize(kJpegBufferSize);
        const uint32_t size = FitCameraJpeg(frame.camera_jpeg, frame.camera_jpeg_size, frame.width, frame.height,
                                            camera_jpeg.data(), kJpegBufferSize);
        if (size != 0) {
            *jpeg = JpegCodec::ArchiveJpeg{camera_jpeg.data(), size, JpegCodec::kCameraStreamQuality};
            return true;
        }
    }
    bool is_encoded = false;
    if (frame.planes != nullptr) {
        is_encoded = codec.EncodeForArchive(*frame.planes, kJpegBufferSize, jpeg);
    } else if (frame.picture != nullptr) {
        is_encoded = codec.EncodeForArchive(*frame.picture, kJpegBufferSize, jpeg);
    } else {
        return Fail("frame not stored: it came with nothing to store it from");
    }
    return is_encoded || Fail("frame not stored: " + codec.LastError());
}

bool CFrameArchive::Impl::CreateArchiveFile(const std::string& folder, const std::string& base_name) {
    // Never replace an existing archive: tick counts repeat after a restart of the system.
    for (int suffix = 0; suffix < 1000; ++suffix) {
        const std::string name = suffix == 0 ? base_name + ".CNA" : base_name + "_" + std::to_string(suffix) + ".CNA";
        const std::string path = folder + name;
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.IsOpen()) {
            write_fd = std::move(fd);
            write_path = path;
            return true;
        }
        if (errno != EEXIST) return FailWrite("cannot create archive", path);
    }
    Fail("cannot create archive " + folder + base_name + ".CNA: every name is taken");
    last_cause = "cannot create archive: every name is taken";
    return false;
}

bool CFrameArchive::Impl::WriteHeader() {
    const double created = stamps.StartFile();
    written_count = 0;
    uint8_t header[fmt::kHeaderSize];
    fmt::WriteDouble(header, created);
    // The first half of the creation stamp is where the count lives; a file that never
    // receives a record must still read as empty.
    fmt::WriteU32(header, 0);
    if (!WriteAllAt(write_fd.Get(), 0, header, sizeof header)) return FailWrite("cannot write the header of", write_path);
    write_end = fmt::kHeaderSize;
    return true;
}

void CFrameArchive::Impl::RollBack() {
    // Cut the partial record off so that the next record follows the last complete one.
    if (::ftruncate(write_fd.Get(), static_cast<off_t>(write_end)) != 0) {
        last_error += "; " + ErrnoMessage("cannot cut partial record off " + write_path) + "; file closed";
        // The file stays valid up to its count; the next frame starts a new file.
        write_fd.Reset();
        is_write_open = false;
        write_path.clear();
    }
}

bool CFrameArchive::Impl::AppendRecord(const uint8_t* jpeg, uint32_t jpeg_length) {
    uint8_t head[fmt::kRecordHeadSize];
    fmt::WriteDouble(head, stamps.NextRecordStamp());
    fmt::WriteU32(head + 8, jpeg_length);
    if (!WriteAllAt(write_fd.Get(), write_end, head, sizeof head, jpeg, jpeg_length)) {
        FailWrite("cannot append a frame to", write_path);
        RollBack();
        return false;
    }
    uint8_t count[4];
    fmt::WriteU32(count, static_cast<uint32_t>(written_count + 1));
    if (!WriteAllAt(write_fd.Get(), 0, count, sizeof count)) {
        FailWrite("cannot update the record count of", write_path);
        RollBack();
        return false;
    }
    ++written_count;
    write_end += fmt::kRecordHeadSize + jpeg_length;
    flusher->Appended(write_fd.Get(), clock.tick_ms());
    return true;
}

bool CFrameArchive::Impl::WriteTrailer() {
    uint8_t trailer[fmt::kTrailerSize];
    fmt::WriteDouble(trailer, stamps.NowWholeSeconds());
    fmt::WriteU32(trailer + 8, fmt::kEndMarker);
    fmt::WriteU32(trailer + 12, static_cast<uint32_t>(written_count));
    written_count = 0;
    if (!WriteAllAt(write_fd.Get(), write_end, trailer, sizeof trailer)) {
        FailWrite("cannot write the trailer of", write_path);
        if (::ftruncate(write_fd.Get(), static_cast<off_t>(write_end)) != 0) {
            // Nothing more to do: the count at offset 0 still tells the readers where to stop.
        }
        return false;
    }
    return true;
}

bool CFrameArchive::Impl::FinishWriting() {
    if (!is_write_open) return true;
    const bool is_finished = WriteTrailer();
    // Flushed and closed off this thread; the day folder holds its name, the storage folder the day's.
    flusher->Finished(std::move(write_fd), {FolderOf(write_path), write_storage_folder});
    if (is_finished) {
        last_error.clear();
        last_cause.clear();
    }
    is_write_open = false;
    write_path.clear();
    return is_finished;
}

// ---------------------------------------------------------------- public

CFrameArchive::CFrameArchive(std::string storage_folder) : impl_(new Impl(std::move(storage_folder))) {}

CFrameArchive::~CFrameArchive() {
    CloseFile();
    impl_->flusher.reset();  // the last flushes are done before the object goes
    delete impl_;
}

template <typename Result>
Result CFrameArchive::Reading(Result result) {
    impl_->last_error = reader_.GetLastError();
    return result;
}

bool CFrameArchive::OpenFile(const std::string& path) { return Reading(reader_.OpenFile(path)); }
int32_t CFrameArchive::GetFrameCount() const { return reader_.GetFrameCount(); }
int32_t CFrameArchive::GetStoredCount() const { return reader_.GetStoredCount(); }
bool CFrameArchive::LocateFrame(int32_t frame) { return Reading(reader_.LocateFrame(frame)); }

void CFrameArchive::SeekFrame(int32_t frame) {
    reader_.SeekFrame(frame);
    Reading(true);
}

bool CFrameArchive::ReadFrameJpeg(int32_t frame, std::vector<uint8_t>& jpeg) {
    return Reading(reader_.ReadFrameJpeg(frame, jpeg));
}

bool CFrameArchive::SaveFrameJpeg(const std::string& path) { return Reading(reader_.SaveFrameJpeg(path)); }
bool CFrameArchive::IsFrameDecoded() const { return reader_.IsFrameDecoded(); }
BMP_File& CFrameArchive::GetFrameImage() { return reader_.GetFrameImage(); }
const BMP_File& CFrameArchive::GetFrameImage() const { return reader_.GetFrameImage(); }
double CFrameArchive::GetFrameTime() const { return reader_.GetFrameTime(); }
int32_t CFrameArchive::GetCurrentFrame() const { return reader_.GetCurrentFrame(); }
cna_info_t CFrameArchive::GetFrameInfo(int32_t frame) const { return reader_.GetFrameInfo(frame); }
std::optional<ArchiveRecord> CFrameArchive::GetRecord(int32_t frame) const { return reader_.GetRecord(frame); }
const std::string& CFrameArchive::GetOpenPath() const { return reader_.GetOpenPath(); }
int64_t CFrameArchive::GetFileLength() const { return reader_.GetFileLength(); }

bool CFrameArchive::WriteFrame(const BMP_File& frame) {
    CleanFrame clean;
    clean.width = frame.GetWidth();
    clean.height = frame.GetHeight();
    clean.picture = &frame;
    return WriteCleanFrame(clean);
}

bool CFrameArchive::TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const {
    const std::optional<JpegStreamInfo> info = ReadJpegStream(data, size);
    if (!info) return false;
    const uint32_t fitted = FittedCameraJpegSize(*info, width, height);
    return fitted != 0 && fitted <= kJpegBufferSize;
}

bool CFrameArchive::WriteCleanFrame(const CleanFrame& frame) {
    Impl& d = *impl_;
    // The readers refuse larger pictures as damaged; what they cannot read is not recorded.
    constexpr int32_t kMaxSide = JpegCodec::kMaxDecodeDimension;
    if (frame.width > kMaxSide || frame.height > kMaxSide) {
        d.Fail("frame not stored: " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
               " pixels is larger than an archive holds (" + std::to_string(kMaxSide) + " pixels either way)");
        return false;
    }
    // Encode first: a frame that cannot be stored must not leave a record, nor an empty file.
    JpegCodec::ArchiveJpeg jpeg;
    if (!d.EncodeFrame(frame, &jpeg)) return false;
    if (jpeg.size > fmt::kMaxRecordBytes) {
        d.Fail("frame not stored: its JPEG of " + std::to_string(jpeg.size) + " bytes exceeds the longest record");
        return false;
    }
    // A flush that failed since the last frame may have lost what was written before it.
    const std::string flush_failure = d.flusher ? d.flusher->TakeFailure() : std::string();
    d.last_errno = 0;
    // A full disk: each room made (an old archive deleted) gives the frame another try.
    while (!((d.is_write_open || StartNewFile()) && d.AppendRecord(jpeg.data, jpeg.size))) {
        if (d.last_errno != ENOSPC || !d.make_room || !d.make_room()) return false;
        d.last_errno = 0;
    }
    if (d.on_record_stored) d.on_record_stored(jpeg.data, jpeg.size);
    if (!flush_failure.empty()) {
        d.last_error = flush_failure;
        d.last_cause = flush_failure;
        return false;
    }
    d.last_frame_quality = jpeg.quality;
    d.last_frame_bytes = jpeg.size;
    d.last_error.clear();
    d.last_cause.clear();
    return true;
}

bool CFrameArchive::CloseFile() { return impl_->FinishWriting(); }

bool CFrameArchive::StartNewFile() {
    Impl& d = *impl_;
    if (d.is_write_open) d.FinishWriting();
    std::string folder;
    {
        const std::lock_guard<std::mutex> lock(d.storage_folder_mutex);
        folder = d.storage_folder;
    }
    if (folder.empty()) return d.Fail("no storage folder to record into");
    const auto today = LocalCalendar(d.clock.wall_seconds());
    if (!today) return d.Fail("cannot read the local date");

    if (folder.back() != '/') folder += '/';
    d.write_storage_folder = folder;
    ::mkdir(folder.c_str(), 0777);  // usually exists already; creating the file tells
    char day[32];
    std::snprintf(day, sizeof day, "%04d%02d%02d", today->year, today->month, today->day);
    folder += day;
    ::mkdir(folder.c_str(), 0777);
    folder += '/';

    char base_name[16];
    std::snprintf(base_name, sizeof base_name, "%d", static_cast<int32_t>(d.clock.tick_ms()));
    if (!d.CreateArchiveFile(folder, base_name)) return false;
    if (!d.WriteHeader()) {
        // Nothing of worth is in the file: remove it and stay idle; the next frame tries again.
        ::unlink(d.write_path.c_str());
        d.write_fd.Reset();
        d.write_path.clear();
        return false;
    }
    d.is_write_open = true;
    if (!d.flusher) d.flusher = std::make_unique<CArchiveFlusher>(d.file_sync);
    d.flusher->Started(d.clock.tick_ms());
    if (d.on_file_created) d.on_file_created(d.write_path);
    return true;
}

bool CFrameArchive::IsWriteOpen() const { return impl_->is_write_open; }
const std::string& CFrameArchive::GetWritePath() const { return impl_->write_path; }

void CFrameArchive::SetRoomMaker(std::function<bool()> make_room) { impl_->make_room = std::move(make_room); }

void CFrameArchive::SetFileCreatedCallback(std::function<void(const std::string&)> on_created) {
    impl_->on_file_created = std::move(on_created);
}

void CFrameArchive::SetRecordStoredCallback(std::function<void(const uint8_t* jpeg, uint32_t size)> on_stored) {
    impl_->on_record_stored = std::move(on_stored);
}

void CFrameArchive::SetClock(ArchiveClock clock) {
    impl_->clock = std::move(clock);
}

void CFrameArchive::SetStorageFolder(std::string storage_folder) {
    const std::lock_guard<std::mutex> lock(impl_->storage_folder_mutex);
    impl_->storage_folder = std::move(storage_folder);
}

std::string CFrameArchive::GetStorageFolder() const {
    const std::lock_guard<std::mutex> lock(impl_->storage_folder_mutex);
    return impl_->storage_folder;
}

void CFrameArchive::SetFileSync(FileSync sync) {
    impl_->flusher.reset();
    impl_->file_sync = std::move(sync);
}

void CFrameArchive::WaitForFlushes() {
    if (impl_->flusher) impl_->flusher->WaitIdle();
}

const std::string& CFrameArchive::GetLastError() const { return impl_->last_error; }
const std::string& CFrameArchive::GetLastErrorCause() const { return impl_->last_cause; }
int CFrameArchive::GetLastFrameQuality() const { return impl_->last_frame_quality; }
uint32_t CFrameArchive::GetLastFrameBytes() const { return impl_->last_frame_bytes; }
