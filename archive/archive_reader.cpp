#include "archive/archive_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/safe_output.h"

namespace fmt = archive_format;

bool CArchiveReader::Fail(std::string message) {
    last_error_ = std::move(message);
    return false;
}

bool CArchiveReader::OpenFile(const std::string& path) {
    index_.Clear();
    fd_.Reset();
    path_.clear();
    file_length_ = 0;
    stored_count_ = 0;
    trailer_.reset();
    current_frame_ = 0;
    is_current_located_ = false;
    is_frame_decoded_ = false;

    // Others may go on writing the file: a recording in progress can be viewed. Not blocking on
    // open keeps a pipe or device given by mistake from hanging the reader; it is refused below.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.IsOpen()) return Fail(ErrnoMessage("cannot open " + path));
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) return Fail(ErrnoMessage("cannot examine " + path));
    if (!S_ISREG(status.st_mode)) return Fail("cannot open " + path + ": not a regular file");

    // Missing bytes of a file shorter than 4 bytes count as 0.
    uint8_t count_bytes[4] = {};
    ReadAt(fd.Get(), 0, count_bytes, sizeof count_bytes);
    stored_count_ = fmt::ReadI32(count_bytes);
    // The length is taken after the count, so every counted record of a growing file lies inside it.
    if (::fstat(fd.Get(), &status) != 0) return Fail(ErrnoMessage("cannot examine " + path));
    file_length_ = status.st_size;
    trailer_ = fmt::ReadTrailer(fd.Get(), file_length_);

    // A finished file holds the records up to its trailer, whatever the count says; a file without
    // one (being recorded, or cut short) holds no more than the writer had counted.
    const int64_t records_end = trailer_ ? file_length_ - fmt::kTrailerSize : file_length_;
    const int64_t max_records = trailer_ ? INT32_MAX : std::max<int32_t>(stored_count_, 0);
    // Header and trailer agreeing on the count tell how many records a damaged stretch swallowed.
    std::optional<int32_t> known_total;
    if (trailer_ && trailer_->record_count == stored_count_ && stored_count_ > 0) known_total = stored_count_;
    index_.Build(fd.Get(), records_end, trailer_.has_value(), max_records, known_total);

    fd_ = std::move(fd);
    path_ = path;
    last_error_.clear();
    return true;
}

bool CArchiveReader::LocateFrame(int32_t frame) {
    if (frame < 0 || frame >= index_.Count()) return Fail("frame " + std::to_string(frame) + " is not in the archive");
    current_frame_ = frame;
    is_current_located_ = true;
    if (!index_.Find(frame))
        return Fail(path_ + " changed since it was opened: frame " + std::to_string(frame) + " is gone");
    return true;
}

bool CArchiveReader::ReadInto(int32_t frame, const std::function<uint8_t*(uint32_t length)>& allocate) {
    const std::optional<ArchiveRecord> record = index_.Find(frame);
    if (!record) return Fail("frame " + std::to_string(frame) + " is not in the archive");
    if (!record->HasData()) {
        return Fail("frame " + std::to_string(frame) + " of " + path_ + " is damaged (" +
                    RecordConditionName(record->condition) + " record at " + std::to_string(record->start) + ")");
    }
    uint8_t* into = allocate(record->length);
    if (into == nullptr) return Fail("no memory for frame " + std::to_string(frame) + " of " + path_);
    if (ReadAt(fd_.Get(), record->DataPosition(), into, record->length) != record->length) {
        return Fail(ErrnoMessage("cannot read frame " + std::to_string(frame) + " of " + path_));
    }
    return true;
}

bool CArchiveReader::LoadJpeg(int32_t frame) {
    return ReadInto(frame, [this](uint32_t length) {
        buffer_.resize(length);
        return buffer_.data();
    });
}

void CArchiveReader::SeekFrame(int32_t frame) {
    if (frame < 0 || frame >= index_.Count()) return;
    is_frame_decoded_ = false;
    if (!LocateFrame(frame) || !LoadJpeg(frame)) return;
    if (!codec_.DecodeJpeg(buffer_.data(), static_cast<uint32_t>(buffer_.size()), frame_image_)) {
        Fail("frame " + std::to_string(frame) + " does not decode: " + codec_.LastError());
        return;
    }
    is_frame_decoded_ = true;
    last_error_.clear();
}

double CArchiveReader::GetFrameTime() const {
    if (!is_current_located_) return 0.0;
    const std::optional<ArchiveRecord> record = index_.Find(current_frame_);
    return record ? record->time_stamp : 0.0;
}

bool CArchiveReader::ReadFrameJpeg(int32_t frame, std::vector<uint8_t>& jpeg) {
    const bool is_read = ReadInto(frame, [&jpeg](uint32_t length) {
        jpeg.resize(length);
        return jpeg.data();
    });
    if (!is_read) {
        jpeg.clear();
        return false;
    }
    last_error_.clear();
    return true;
}

bool CArchiveReader::ReadFrameJpegInto(int32_t frame, const std::function<uint8_t*(uint32_t length)>& allocate) {
    if (!ReadInto(frame, allocate)) return false;
    last_error_.clear();
    return true;
}

bool CArchiveReader::SaveFrameJpeg(const std::string& path) {
    if (index_.Count() == 0) return Fail("no frame to save");
    if (!is_current_located_) return Fail("frame " + std::to_string(current_frame_) + " was not located");
    if (!LoadJpeg(current_frame_)) return false;
    std::string error;
    SafeOutputRules rules;
    rules.protected_paths.push_back(path_);
    if (!WriteOutputFile(path, buffer_.data(), buffer_.size(), rules, error)) return Fail(error);
    last_error_.clear();
    return true;
}

cna_info_t CArchiveReader::GetFrameInfo(int32_t frame) const {
    const std::optional<ArchiveRecord> record = index_.Find(frame);
    if (!record) return {};
    return cna_info_t{record->DataPosition(), record->length, record->time_stamp, 1};
}
