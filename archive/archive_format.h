#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

// Byte layout of archive (.CNA) files. All numbers are little-endian.
//   header   8 bytes: record count (int32), bytes 4..7 of the creation time stamp
//   records  time stamp (double), n (uint32), n bytes of JFIF stream
//   trailer 16 bytes: finishing time stamp (double), end marker, record count (int32)
namespace archive_format {

constexpr int64_t kHeaderSize = 8;
constexpr int64_t kRecordHeadSize = 12;
constexpr int64_t kTrailerSize = 16;
constexpr uint32_t kEndMarker = 0x13572468;
// "JFIF" and a zero stand 18 bytes after the start of their record.
constexpr int64_t kTagOffsetInRecord = 18;
constexpr uint8_t kJfifTag[5] = {'J', 'F', 'I', 'F', 0};
// Smallest record whose tag fits: head plus SOI, APP0 marker, length and the tag.
constexpr int64_t kMinRecordSize = kRecordHeadSize + 11;
// Longest JPEG a record may hold; a longer length is damage.
constexpr uint32_t kMaxRecordBytes = 16 * 1024 * 1024;

inline uint32_t ReadU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}
inline int32_t ReadI32(const uint8_t* bytes) { return static_cast<int32_t>(ReadU32(bytes)); }
inline void WriteU32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline double ReadDouble(const uint8_t* bytes) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
inline void WriteDouble(uint8_t* bytes, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
}

struct Trailer {
    double finished_time = 0.0;  // whole seconds, local OLE date
    int32_t record_count = 0;
};

// The trailer at the end of the file at path, when the last 16 bytes carry the end marker.
std::optional<Trailer> ReadTrailer(const std::string& path);
// The same for an open file of file_length bytes.
std::optional<Trailer> ReadTrailer(int fd, int64_t file_length);

// A stored time as text, "YYYY-MM-DD HH:MM:SS.mmm" with separator between date and time, or to
// the whole second; empty for a value no calendar holds. The one conversion of stored times to
// text, so that every command and the web catalogue say the same time of one record.
std::string TimeText(double ole_date, char separator, bool with_milliseconds);

}  // namespace archive_format

// Where the recorder takes its times from; tests replace both.
struct ArchiveClock {
    std::function<uint32_t()> tick_ms;          // milliseconds, wraps at 2^32
    std::function<std::time_t()> wall_seconds;  // seconds since 1970
    static ArchiveClock System();
};

// Time stamps of records: the wall clock to the second plus the milliseconds that passed
// since the writer saw the current second begin, so records of one second keep their order.
class RecordStampClock {
public:
    explicit RecordStampClock(const ArchiveClock* clock) : clock_(clock) {}
    // Starts a file: notes the wall clock's second and the tick; returns the whole-second stamp.
    // is_continuing: a file that begins with frames stamped before it keeps counting from the
    // second change already seen, so its stamps stay in order.
    double StartFile(bool is_continuing = false);
    // Whole-second stamp of the present moment (header and trailer).
    double NowWholeSeconds() const;
    // Stamp of a record appended now.
    double NextRecordStamp();

private:
    const ArchiveClock* clock_;
    std::time_t last_wall_s_ = -1;
    uint32_t second_change_tick_ = 0;
};
