#include "archive_core/avi_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr uint8_t kIndexOfIndexes = 0x00;
constexpr uint8_t kIndexOfChunks = 0x01;
constexpr uint32_t kMainHeaderBytes = 56;
constexpr uint32_t kStreamHeaderBytes = 56;
constexpr uint32_t kBitmapInfoBytes = 40;
constexpr uint32_t kDmlhBytes = 248;
constexpr uint32_t kIndexHeaderBytes = 24;  // after the chunk header, before the entries
constexpr uint32_t kSuperIndexEntryBytes = 16;
constexpr uint32_t kStandardIndexEntryBytes = 8;
constexpr uint32_t kLegacyIndexEntryBytes = 16;
constexpr int32_t kMaxDimension = 32767;  // the stream header's frame rectangle holds 16-bit values

// Little-endian record builder for headers and indexes.
class ByteBuffer {
public:
    void U8(uint8_t value) { bytes_.push_back(value); }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value));
        U8(static_cast<uint8_t>(value >> 8));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value));
        U16(static_cast<uint16_t>(value >> 16));
    }
    void U64(uint64_t value) {
        U32(static_cast<uint32_t>(value));
        U32(static_cast<uint32_t>(value >> 32));
    }
    void FourCc(const char (&code)[5]) { bytes_.insert(bytes_.end(), code, code + 4); }
    void Zeros(size_t count) { bytes_.insert(bytes_.end(), count, 0); }
    size_t Size() const { return bytes_.size(); }
    const uint8_t* Data() const { return bytes_.data(); }
    void PatchU32(size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

CAviWriter::~CAviWriter() { Abandon(); }

uint32_t CAviWriter::PaddedRowBytes(int32_t width) { return (static_cast<uint32_t>(width) * 3 + 3) & ~uint32_t{3}; }

bool CAviWriter::Fail(std::string message) {
    error_ = std::move(message);
    Abandon();
    return false;
}

void CAviWriter::Abandon() { output_.Abandon(); }

bool CAviWriter::WriteBytes(const void* data, size_t size, const char* step) {
    if (!WriteAll(output_.Fd(), data, size)) return Fail(ErrnoMessage(std::string("writing ") + step + " failed"));
    position_ += size;
    return true;
}

bool CAviWriter::PatchU32(uint64_t position, uint32_t value, const char* step) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    if (!WriteAllAt(output_.Fd(), static_cast<int64_t>(position), bytes, sizeof bytes)) {
        return Fail(ErrnoMessage(std::string("updating ") + step + " failed"));
    }
    return true;
}

bool CAviWriter::Open(const std::string& path, int32_t width, int32_t height, const AviWriterOptions& options) {
    Abandon();
    error_.clear();
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
        error_ = "cannot write frames of " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
        return false;
    }
    if (options.super_index_entries == 0) {
        error_ = "the super index needs at least one entry";
        return false;
    }
    options_ = options;
    width_ = width;
    height_ = height;
    row_bytes_ = static_cast<uint32_t>(width) * 3;
    stored_row_bytes_ = PaddedRowBytes(width);
    sample_bytes_ = stored_row_bytes_ * static_cast<uint32_t>(height);
    zero_padding_.assign(4, 0);
    position_ = 0;
    total_frames_ = 0;
    first_riff_frames_ = 0;
    riff_chunks_.clear();
    super_index_.clear();

    SafeOutputRules rules;
    rules.protected_paths = options.protected_paths;
    rules.needs_seeking = true;  // headers and indexes are filled in at the end
    if (!output_.Open(path, rules)) {
        error_ = output_.Error();
        return false;
    }
    return BeginRiff(true);
}

bool CAviWriter::BeginRiff(bool is_first) {
    is_first_riff_ = is_first;
    riff_start_ = position_;
    riff_chunks_.clear();
    ByteBuffer header;
    header.FourCc("RIFF");
    header.U32(0);  // patched by EndRiff
    header.FourCc(is_first ? "AVI " : "AVIX");
    if (is_first) {
        const uint32_t super_index_bytes = kIndexHeaderBytes + kSuperIndexEntryBytes * options_.super_index_entries;
        const uint32_t strl_bytes = 4 + (8 + kStreamHeaderBytes) + (8 + kBitmapInfoBytes) + (8 + super_index_bytes);
        const uint32_t odml_bytes = 4 + (8 + kDmlhBytes);
        const uint32_t hdrl_bytes = 4 + (8 + kMainHeaderBytes) + (8 + strl_bytes) + (8 + odml_bytes);
        const uint64_t bytes_per_second = uint64_t{sample_bytes_} * kFramesPerSecond;

        header.FourCc("LIST");
        header.U32(hdrl_bytes);
        header.FourCc("hdrl");

        header.FourCc("avih");
        header.U32(kMainHeaderBytes);
        header.U32(1000000 / kFramesPerSecond);  // microseconds per frame
        header.U32(static_cast<uint32_t>(std::min<uint64_t>(bytes_per_second, UINT32_MAX)));
        header.U32(0);  // padding granularity
        header.U32(kAvifHasIndex);
        avih_total_frames_at_ = position_ + header.Size();
        header.U32(0);  // frames in this RIFF chunk, patched
        header.U32(0);  // initial frames
        header.U32(1);  // streams
        header.U32(sample_bytes_ + 8);
        header.U32(static_cast<uint32_t>(width_));
        header.U32(static_cast<uint32_t>(height_));
        header.Zeros(16);

        header.FourCc("LIST");
        header.U32(strl_bytes);
        header.FourCc("strl");

        header.FourCc("strh");
        header.U32(kStreamHeaderBytes);
        header.FourCc("vids");
        header.U32(0);                 // handler: no codec, frames stored as they are
        header.U32(0);                 // flags
        header.U16(0);                 // priority
        header.U16(0);                 // language
        header.U32(0);                 // initial frames
        header.U32(1);                 // scale
        header.U32(kFramesPerSecond);  // rate
        header.U32(0);                 // start
        strh_length_at_ = position_ + header.Size();
        header.U32(0);           // length in frames, patched
        header.U32(0);           // suggested buffer size
        header.U32(UINT32_MAX);  // quality: the default
        header.U32(sample_bytes_);
        header.U16(0);  // frame rectangle: left, top, right, bottom
        header.U16(0);
        header.U16(static_cast<uint16_t>(width_));
        header.U16(static_cast<uint16_t>(height_));

        header.FourCc("strf");
        header.U32(kBitmapInfoBytes);
        header.U32(kBitmapInfoBytes);
        header.U32(static_cast<uint32_t>(width_));
        header.U32(static_cast<uint32_t>(height_));  // positive: bottom row first
        header.U16(1);                               // planes
        header.U16(24);                              // bits per pixel
        header.U32(0);                               // no compression
        header.U32(sample_bytes_);
        header.U32(0);  // horizontal resolution
        header.U32(0);  // vertical resolution
        header.U32(0);  // colours used
        header.U32(0);  // important colours

        super_index_at_ = position_ + header.Size();
        header.FourCc("indx");
        header.U32(super_index_bytes);
        header.U16(4);  // longs per entry
        header.U8(0);   // sub-type
        header.U8(kIndexOfIndexes);
        header.U32(0);  // entries in use, patched
        header.FourCc("00db");
        header.Zeros(12);
        header.Zeros(size_t{kSuperIndexEntryBytes} * options_.super_index_entries);

        header.FourCc("LIST");
        header.U32(odml_bytes);
        header.FourCc("odml");
        header.FourCc("dmlh");
        header.U32(kDmlhBytes);
        dmlh_total_frames_at_ = position_ + header.Size();
        header.U32(0);  // total frames, patched
        header.Zeros(kDmlhBytes - 4);
    }
    movi_start_ = position_ + header.Size();
    header.FourCc("LIST");
    header.U32(0);  // patched by EndRiff
    header.FourCc("movi");
    return WriteBytes(header.Data(), header.Size(), is_first ? "the file header" : "an extension chunk header");
}

uint64_t CAviWriter::RiffBytesAfterNextFrame() const {
    const uint64_t frames = riff_chunks_.size() + 1;
    uint64_t bytes = position_ + 8 + sample_bytes_ - riff_start_;
    bytes += 8 + kIndexHeaderBytes + kStandardIndexEntryBytes * frames;
    if (is_first_riff_) bytes += 8 + kLegacyIndexEntryBytes * frames;
    return bytes;
}

bool CAviWriter::WriteFrame(const uint8_t* top_down_pixels) {
    // Rows go out bottom row first straight from the caller's picture, each followed by its
    // padding: the kernel gathers them, no flipped copy is made here.
    const uint32_t pad_bytes = stored_row_bytes_ - row_bytes_;
    pieces_.clear();
    pieces_.push_back({nullptr, 0});  // the chunk header
    for (int32_t row = height_ - 1; row >= 0; --row) {
        pieces_.push_back({const_cast<uint8_t*>(top_down_pixels) + static_cast<size_t>(row) * row_bytes_, row_bytes_});
        if (pad_bytes) pieces_.push_back({zero_padding_.data(), pad_bytes});
    }
    return WriteChunk(pieces_);
}

bool CAviWriter::WriteSample(const uint8_t* stored_sample) {
    pieces_.clear();
    pieces_.push_back({nullptr, 0});
    pieces_.push_back({const_cast<uint8_t*>(stored_sample), sample_bytes_});
    return WriteChunk(pieces_);
}

bool CAviWriter::WriteChunk(std::vector<iovec>& pieces) {
    if (!output_.IsOpen()) return Fail(error_.empty() ? "no file is open for writing" : error_);
    if (!riff_chunks_.empty() && RiffBytesAfterNextFrame() > options_.riff_split_bytes) {
        if (!EndRiff() || !BeginRiff(false)) return false;
    }
    if (RiffBytesAfterNextFrame() > UINT32_MAX - 8) return Fail("a frame is too large for a RIFF chunk");
    if (total_frames_ == UINT32_MAX) return Fail("too many frames for one stream");

    uint8_t chunk_header[8] = {'0', '0', 'd', 'b'};
    for (int i = 0; i < 4; ++i) chunk_header[4 + i] = static_cast<uint8_t>(sample_bytes_ >> (8 * i));
    pieces[0] = {chunk_header, sizeof chunk_header};

    const uint64_t chunk_position = position_;
    uint64_t chunk_bytes = 0;
    for (const iovec& piece : pieces) chunk_bytes += piece.iov_len;
    if (!WriteAllPieces(output_.Fd(), pieces.data(), pieces.size())) {
        return Fail(ErrnoMessage("writing frame " + std::to_string(total_frames_) + " failed"));
    }
    position_ += chunk_bytes;
    riff_chunks_.push_back({chunk_position});
    ++total_frames_;
    if (is_first_riff_) ++first_riff_frames_;
    return true;
}

bool CAviWriter::EndRiff() {
    const auto frames = static_cast<uint32_t>(riff_chunks_.size());
    if (frames != 0) {
        if (super_index_.size() >= options_.super_index_entries) {
            return Fail("the export needs more than " + std::to_string(options_.super_index_entries) +
                        " RIFF chunks, more than its index can hold");
        }
        const uint64_t base = riff_start_;
        ByteBuffer index;
        index.FourCc("ix00");
        index.U32(kIndexHeaderBytes + kStandardIndexEntryBytes * frames);
        index.U16(2);  // longs per entry
        index.U8(0);   // sub-type
        index.U8(kIndexOfChunks);
        index.U32(frames);
        index.FourCc("00db");
        index.U64(base);
        index.U32(0);
        for (const ChunkEntry& chunk : riff_chunks_) {
            index.U32(static_cast<uint32_t>(chunk.chunk_position + 8 - base));  // points at the data
            index.U32(sample_bytes_);                                           // bit 31 clear: a key frame
        }
        super_index_.push_back({position_, static_cast<uint32_t>(index.Size()), frames});
        if (!WriteBytes(index.Data(), index.Size(), "a frame index")) return false;
    }
    if (!PatchU32(movi_start_ + 4, static_cast<uint32_t>(position_ - (movi_start_ + 8)), "the frame list size")) {
        return false;
    }
    if (is_first_riff_) {
        // Offsets count from the 'movi' tag, as players of the first RIFF chunk expect.
        ByteBuffer legacy;
        legacy.FourCc("idx1");
        legacy.U32(kLegacyIndexEntryBytes * frames);
        for (const ChunkEntry& chunk : riff_chunks_) {
            legacy.FourCc("00db");
            legacy.U32(kAviifKeyFrame);
            legacy.U32(static_cast<uint32_t>(chunk.chunk_position - (movi_start_ + 8)));
            legacy.U32(sample_bytes_);
        }
        if (!WriteBytes(legacy.Data(), legacy.Size(), "the legacy index")) return false;
    }
    return PatchU32(riff_start_ + 4, static_cast<uint32_t>(position_ - (riff_start_ + 8)), "a RIFF chunk size");
}

bool CAviWriter::Finish() {
    if (!output_.IsOpen()) return Fail(error_.empty() ? "no file is open for writing" : error_);
    if (!EndRiff()) return false;
    if (!PatchU32(avih_total_frames_at_, first_riff_frames_, "the main header") ||
        !PatchU32(strh_length_at_, total_frames_, "the stream header") ||
        !PatchU32(dmlh_total_frames_at_, total_frames_, "the extended header") ||
        !PatchU32(super_index_at_ + 12, static_cast<uint32_t>(super_index_.size()), "the super index")) {
        return false;
    }
    ByteBuffer entries;
    for (const SuperIndexEntry& entry : super_index_) {
        entries.U64(entry.index_position);
        entries.U32(entry.index_bytes);
        entries.U32(entry.frame_count);
    }
    const uint64_t entries_at = super_index_at_ + 8 + kIndexHeaderBytes;
    if (!WriteAllAt(output_.Fd(), static_cast<int64_t>(entries_at), entries.Data(), entries.Size())) {
        return Fail(ErrnoMessage("updating the super index failed"));
    }
    if (!output_.Commit()) return Fail(output_.Error());
    return true;
}
