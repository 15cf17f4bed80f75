#include "recording/frame_archive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "platform/ole_date.h"
#include "recording/archive_file_io.h"
#include "recording/jpeg_codec.h"

namespace fmt = archive_format;

namespace {

struct IndexEntry {
    cna_info_t info;
    // The record cannot be loaded (length beyond the buffer or zero): it is not read, and the
    // next record is found by its tag instead of by that length.
    bool is_damaged = false;
};

constexpr size_t kScanChunkSize = 4096;

}  // namespace

struct CFrameArchive::Impl {
    explicit Impl(std::string folder)
        : program_folder(std::move(folder)), jpeg_buffer(kJpegBufferSize), stamps(&clock) {}

    std::string program_folder;
    ArchiveClock clock = ArchiveClock::System();
    JpegCodec codec;
    std::vector<uint8_t> jpeg_buffer;  // reading: grows to the longest record loaded
    std::string last_error;
    std::string last_cause;

    // Writing.
    RecordStampClock stamps;
    UniqueFd write_fd;
    bool is_write_open = false;
    std::string write_path;
    int32_t written_count = 0;
    int64_t write_end = 0;  // end of the last complete record
    int last_frame_quality = 0;
    uint32_t last_frame_bytes = 0;
    std::function<void(const std::string&)> on_file_created;

    // Reading.
    UniqueFd read_fd;
    std::string read_path;
    int64_t file_length = 0;
    int32_t record_count = 0;
    // Entries exist only for records that were asked for, so a damaged count costs nothing.
    std::unordered_map<int32_t, IndexEntry> index;
    cna_info_t spare_entry{};
    int32_t current_frame = 0;
    BMP_File frame_image;
    bool is_frame_decoded = false;

    bool Fail(std::string message) {
        last_error = std::move(message);
        last_cause = last_error;
        return false;
    }
    // A failed system call on path: the message names the file, the cause does not.
    bool FailWrite(const std::string& what, const std::string& path) {
        const std::string reason = std::strerror(errno);
        last_error = what + " " + path + ": " + reason;
        last_cause = what + ": " + reason;
        return false;
    }
    uint8_t* JpegRoom(uint32_t length) {
        if (jpeg_buffer.size() < length) jpeg_buffer.resize(length);
        return jpeg_buffer.data();
    }

    // --- writing ---
    bool CreateArchiveFile(const std::string& folder, const std::string& base_name);
    bool WriteHeader();
    bool AppendRecord(const uint8_t* jpeg, uint32_t jpeg_length);
    bool WriteTrailer();
    void RollBack();
    bool FinishWriting();

    // --- reading ---
    const IndexEntry* Find(int32_t frame) const {
        const auto it = index.find(frame);
        return it == index.end() ? nullptr : &it->second;
    }
    bool ReadRecordHead(int64_t record_start, IndexEntry& entry);
    std::optional<int64_t> ScanForRecord(int64_t from);
    // Reads the entry's JPEG bytes into into, which has room for data_length bytes.
    bool LoadJpeg(const IndexEntry& entry, uint8_t* into);
};

// ---------------------------------------------------------------- writing

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
    bool is_finished = WriteTrailer();
    if (!write_fd.Close() && is_finished) is_finished = FailWrite("cannot close", write_path);
    if (is_finished) {
        last_error.clear();
        last_cause.clear();
    }
    is_write_open = false;
    write_path.clear();
    return is_finished;
}

// ---------------------------------------------------------------- reading

bool CFrameArchive::Impl::ReadRecordHead(int64_t record_start, IndexEntry& entry) {
    uint8_t head[fmt::kRecordHeadSize];
    if (ReadAt(read_fd.Get(), record_start, head, sizeof head) != sizeof head) return false;
    entry.info.data_position = record_start + fmt::kRecordHeadSize;
    entry.info.time_stamp = fmt::ReadDouble(head);
    entry.info.data_length = fmt::ReadU32(head + 8);
    entry.info.known = 1;
    entry.is_damaged = entry.info.data_length == 0 || entry.info.data_length > fmt::kMaxRecordBytes ||
                       entry.info.data_position + entry.info.data_length > file_length;
    return true;
}

std::optional<int64_t> CFrameArchive::Impl::ScanForRecord(int64_t from) {
    // The record of the first tag at or after from that would start behind the header. Chunks overlap
    // by the tag's length minus one, so a tag that straddles two reads is found too.
    constexpr size_t kOverlap = sizeof fmt::kJfifTag - 1;
    uint8_t chunk[kScanChunkSize];
    int64_t position = std::max<int64_t>(from, fmt::kHeaderSize + fmt::kTagOffsetInRecord);
    while (true) {
        const size_t got = ReadAt(read_fd.Get(), position, chunk, sizeof chunk);
        if (got < sizeof fmt::kJfifTag) return std::nullopt;
        const uint8_t* end = chunk + got;
        for (const uint8_t* at = chunk; at + sizeof fmt::kJfifTag <= end; ++at) {
            at = static_cast<const uint8_t*>(std::memchr(at, 'J', static_cast<size_t>(end - at)));
            if (at == nullptr || at + sizeof fmt::kJfifTag > end) break;
            if (std::memcmp(at, fmt::kJfifTag, sizeof fmt::kJfifTag) == 0) {
                return position + (at - chunk) - fmt::kTagOffsetInRecord;
            }
        }
        if (got < sizeof chunk) return std::nullopt;
        position += static_cast<int64_t>(got - kOverlap);
    }
}

bool CFrameArchive::Impl::LoadJpeg(const IndexEntry& entry, uint8_t* into) {
    if (entry.info.data_length == 0 || entry.info.data_length > fmt::kMaxRecordBytes) {
        return Fail("frame record at " + std::to_string(entry.info.data_position - fmt::kRecordHeadSize) +
                    " claims " + std::to_string(entry.info.data_length) + " bytes of JPEG data");
    }
    if (entry.is_damaged ||
        ReadAt(read_fd.Get(), entry.info.data_position, into, entry.info.data_length) != entry.info.data_length) {
        return Fail("frame data at " + std::to_string(entry.info.data_position) + " is cut short");
    }
    return true;
}

// ---------------------------------------------------------------- public

CFrameArchive::CFrameArchive(std::string program_folder) : impl_(new Impl(std::move(program_folder))) {}

CFrameArchive::~CFrameArchive() {
    CloseFile();
    delete impl_;
}

bool CFrameArchive::OpenFile(const std::string& path) {
    Impl& d = *impl_;
    d.read_fd.Reset();
    d.read_path.clear();
    d.index.clear();
    d.file_length = 0;
    d.record_count = 0;
    d.current_frame = 0;
    d.is_frame_decoded = false;

    // Others may go on writing the file: a recording in progress can be viewed. Not blocking on
    // open keeps a pipe or device given by mistake from hanging the reader; it is refused below.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.IsOpen()) return d.Fail(ErrnoMessage("cannot open " + path));
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) return d.Fail(ErrnoMessage("cannot examine " + path));
    if (!S_ISREG(status.st_mode)) return d.Fail("cannot open " + path + ": not a regular file");

    // Missing bytes of a file shorter than 4 bytes count as 0.
    uint8_t count_bytes[4] = {};
    ReadAt(fd.Get(), 0, count_bytes, sizeof count_bytes);
    int64_t count = fmt::ReadI32(count_bytes);
    // The length is taken after the count, so every counted record of a growing file lies inside it.
    if (::fstat(fd.Get(), &status) != 0) return d.Fail(ErrnoMessage("cannot examine " + path));
    d.file_length = status.st_size;
    const int64_t max_count = std::max<int64_t>(0, (d.file_length - fmt::kHeaderSize) / fmt::kMinRecordSize);
    count = std::clamp<int64_t>(count, 0, max_count);

    d.record_count = static_cast<int32_t>(count);
    d.read_fd = std::move(fd);
    d.read_path = path;
    d.last_error.clear();
    return true;
}

int32_t CFrameArchive::GetFrameCount() const { return impl_->record_count; }

bool CFrameArchive::LocateFrame(int32_t frame) {
    Impl& d = *impl_;
    if (frame < 0 || frame >= d.record_count) return false;
    d.current_frame = frame;
    IndexEntry& entry = d.index[frame];
    if (entry.info.known) return true;

    std::optional<int64_t> record_start;
    const IndexEntry* previous = frame > 0 ? d.Find(frame - 1) : nullptr;
    if (previous != nullptr && previous->info.known && previous->is_damaged) {
        // The length before cannot be trusted: resynchronise on the first tag behind that record's own.
        const int64_t previous_tag = previous->info.data_position - fmt::kRecordHeadSize + fmt::kTagOffsetInRecord;
        record_start = d.ScanForRecord(previous_tag + 1);
    } else if (previous != nullptr && previous->info.known) {
        const int64_t next = previous->info.data_position + static_cast<int64_t>(previous->info.data_length);
        uint8_t probe[fmt::kTagOffsetInRecord + sizeof fmt::kJfifTag];
        if (ReadAt(d.read_fd.Get(), next, probe, sizeof probe) == sizeof probe &&
            std::memcmp(probe + fmt::kTagOffsetInRecord, fmt::kJfifTag, sizeof fmt::kJfifTag) == 0) {
            record_start = next;
        } else {
            // The length before pointed into the middle of something: find the next record from there.
            record_start = d.ScanForRecord(next + fmt::kTagOffsetInRecord);
        }
    } else {
        // Jump: estimate the position in proportion and resynchronise on the next tag.
        const int64_t estimate = d.file_length * frame / d.record_count;
        record_start = d.ScanForRecord(estimate);
        if (!record_start) {
            // No tag behind the estimate: the last records are smaller than the average. Walk there
            // from the nearest record known before it instead of giving up on the end of the file.
            int32_t known_below = frame - 1;
            while (known_below >= 0 && !(d.Find(known_below) != nullptr && d.Find(known_below)->info.known)) --known_below;
            bool is_walking = true;
            for (int32_t step = known_below + 1; step < frame && is_walking; ++step) is_walking = LocateFrame(step);
            d.current_frame = frame;
            if (is_walking && frame > 0) return LocateFrame(frame);
        }
    }
    if (!record_start || !d.ReadRecordHead(*record_start, entry)) {
        d.index.erase(frame);
        return d.Fail("frame " + std::to_string(frame) + " of " + d.read_path + " could not be found");
    }
    return true;
}

void CFrameArchive::SeekFrame(int32_t frame) {
    Impl& d = *impl_;
    if (frame < 0 || frame >= d.record_count) return;
    d.is_frame_decoded = false;
    if (!LocateFrame(frame)) return;
    const IndexEntry& entry = d.index[frame];
    // A damaged length is never trusted with an allocation.
    uint8_t* jpeg = entry.is_damaged ? nullptr : d.JpegRoom(entry.info.data_length);
    if (!d.LoadJpeg(entry, jpeg)) return;
    if (!d.codec.DecodeJpeg(jpeg, entry.info.data_length, d.frame_image)) {
        d.Fail("frame " + std::to_string(frame) + " does not decode: " + d.codec.LastError());
        return;
    }
    d.is_frame_decoded = true;
    d.last_error.clear();
}

bool CFrameArchive::ReadFrameJpeg(int32_t frame, std::vector<uint8_t>& jpeg) {
    Impl& d = *impl_;
    jpeg.clear();
    if (frame < 0 || frame >= d.record_count) return d.Fail("frame " + std::to_string(frame) + " is not in the archive");
    const int32_t current_frame = d.current_frame;
    const bool is_located = LocateFrame(frame);
    d.current_frame = current_frame;
    if (!is_located) return false;
    const IndexEntry& entry = d.index[frame];
    // A damaged record's length is not trusted with an allocation.
    if (!entry.is_damaged) jpeg.resize(entry.info.data_length);
    if (!d.LoadJpeg(entry, jpeg.data())) {
        jpeg.clear();
        return false;
    }
    d.last_error.clear();
    return true;
}

bool CFrameArchive::IsFrameDecoded() const { return impl_->is_frame_decoded; }

BMP_File& CFrameArchive::GetFrameImage() { return impl_->frame_image; }
const BMP_File& CFrameArchive::GetFrameImage() const { return impl_->frame_image; }

double CFrameArchive::GetFrameTime() const {
    const IndexEntry* entry = impl_->Find(impl_->current_frame);
    return entry != nullptr && entry->info.known ? entry->info.time_stamp : 0.0;
}

bool CFrameArchive::SaveFrameJpeg(const std::string& path) {
    Impl& d = *impl_;
    if (d.record_count == 0) return d.Fail("no frame to save");
    const IndexEntry* entry = d.Find(d.current_frame);
    if (entry == nullptr || !entry->info.known) return d.Fail("frame " + std::to_string(d.current_frame) + " was not located");
    uint8_t* jpeg = entry->is_damaged ? nullptr : d.JpegRoom(entry->info.data_length);
    if (!d.LoadJpeg(*entry, jpeg)) return false;
    std::string error;
    if (!WriteFileAtomically(path, jpeg, entry->info.data_length, &error)) return d.Fail(error);
    d.last_error.clear();
    return true;
}

int32_t CFrameArchive::GetCurrentFrame() const { return impl_->current_frame; }

const cna_info_t& CFrameArchive::GetFrameInfo(int32_t frame) const {
    const IndexEntry* entry = impl_->Find(frame);
    return entry != nullptr ? entry->info : impl_->spare_entry;
}

const std::string& CFrameArchive::GetOpenPath() const { return impl_->read_path; }
int64_t CFrameArchive::GetFileLength() const { return impl_->file_length; }

bool CFrameArchive::WriteFrame(const BMP_File& frame) {
    Impl& d = *impl_;
    // Encode first: a frame that cannot be stored must not leave a record, nor an empty file.
    JpegCodec::ArchiveJpeg jpeg;
    if (!d.codec.EncodeForArchive(frame, kJpegBufferSize, &jpeg)) return d.Fail("frame not stored: " + d.codec.LastError());
    if (jpeg.size > fmt::kMaxRecordBytes) {
        d.Fail("frame not stored: its JPEG of " + std::to_string(jpeg.size) + " bytes exceeds the longest record");
        return false;
    }
    if (!d.is_write_open && !StartNewFile()) return false;
    if (!d.AppendRecord(jpeg.data, jpeg.size)) return false;
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
    if (d.program_folder.empty()) return d.Fail("no program folder to record into");
    const auto today = LocalCalendar(d.clock.wall_seconds());
    if (!today) return d.Fail("cannot read the local date");

    std::string folder = d.program_folder;
    if (folder.back() != '/') folder += '/';
    folder += "Storage";
    ::mkdir(folder.c_str(), 0777);  // usually exists already; creating the file tells
    char day[32];
    std::snprintf(day, sizeof day, "%04d%02d%02d", today->year, today->month, today->day);
    folder += '/';
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
    if (d.on_file_created) d.on_file_created(d.write_path);
    return true;
}

bool CFrameArchive::IsWriteOpen() const { return impl_->is_write_open; }
const std::string& CFrameArchive::GetWritePath() const { return impl_->write_path; }

void CFrameArchive::SetFileCreatedCallback(std::function<void(const std::string&)> on_created) {
    impl_->on_file_created = std::move(on_created);
}

void CFrameArchive::SetClock(ArchiveClock clock) {
    impl_->clock = std::move(clock);
}

const std::string& CFrameArchive::GetLastError() const { return impl_->last_error; }
const std::string& CFrameArchive::GetLastErrorCause() const { return impl_->last_cause; }
int CFrameArchive::GetLastFrameQuality() const { return impl_->last_frame_quality; }
uint32_t CFrameArchive::GetLastFrameBytes() const { return impl_->last_frame_bytes; }
