#include "jpeg/jpeg_stream.h"

#include <array>
#include <cstring>

namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kHuffmanTables = 0xC4;
constexpr uint8_t kBaselineFrame = 0xC0;
constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kApp14 = 0xEE;

// SOI and the JFIF APP0 segment as the archive's own encoder writes it: version 1.01, no units,
// a 1:1 pixel aspect, no thumbnail.
constexpr uint8_t kJfifStart[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                                  0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};

// One Huffman table: its class and number, the count of codes of each length 1 to 16, and the
// symbols in code order.
struct HuffmanTable {
    uint8_t class_and_id;
    std::array<uint8_t, 16> counts;
    const uint8_t* symbols;
    uint8_t symbol_count;
};

// The tables of the JPEG standard's annex K.3, which motion JPEG streams leave out and decoders assume.
constexpr uint8_t kDcSymbols[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kLumaAcSymbols[] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kChromaAcSymbols[] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr HuffmanTable kStandardTables[] = {
    {0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, kDcSymbols, sizeof kDcSymbols},
    {0x10, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d}, kLumaAcSymbols, sizeof kLumaAcSymbols},
    {0x01, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, kDcSymbols, sizeof kDcSymbols},
    {0x11, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}, kChromaAcSymbols, sizeof kChromaAcSymbols},
};

constexpr uint32_t StandardTablesSegmentSize() {
    uint32_t size = 4;  // marker and length
    for (const HuffmanTable& table : kStandardTables) size += 1 + 16 + table.symbol_count;
    return size;
}
constexpr uint32_t kStandardTablesSize = StandardTablesSegmentSize();

uint8_t* WriteStandardTables(uint8_t* out) {
    *out++ = kMarker;
    *out++ = kHuffmanTables;
    *out++ = static_cast<uint8_t>((kStandardTablesSize - 2) >> 8);
    *out++ = static_cast<uint8_t>((kStandardTablesSize - 2) & 0xFF);
    for (const HuffmanTable& table : kStandardTables) {
        *out++ = table.class_and_id;
        std::memcpy(out, table.counts.data(), 16);
        out += 16;
        std::memcpy(out, table.symbols, table.symbol_count);
        out += table.symbol_count;
    }
    return out;
}

inline uint32_t ReadU16(const uint8_t* at) { return (static_cast<uint32_t>(at[0]) << 8) | at[1]; }

bool IsStandalone(uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

bool IsFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != kHuffmanTables && marker != 0xC8 && marker != 0xCC;
}

// Calls visit(marker, segment start, segment length including marker) for each segment between
// SOI and the first SOS; false when the stream is not well formed up to there. scan_offset is
// where the SOS segment starts, scan_data_offset where its coded data begins.
template <typename Visit>
bool ForEachHeaderSegment(const uint8_t* data, uint32_t size, uint32_t* scan_offset, uint32_t* scan_data_offset,
                          Visit visit) {
    if (data == nullptr || size < 4 || data[0] != kMarker || data[1] != kStartOfImage) return false;
    uint32_t at = 2;
    while (at + 1 < size) {
        if (data[at] != kMarker) return false;
        const uint32_t start = at;
        while (at < size && data[at] == kMarker) ++at;  // fill bytes
        if (at >= size) return false;
        const uint8_t marker = data[at++];
        if (IsStandalone(marker)) continue;
        if (marker == kStartOfImage || marker == kEndOfImage || at + 2 > size) return false;
        const uint32_t length = ReadU16(data + at);
        if (length < 2 || at + length > size) return false;
        if (marker == kStartOfScan) {
            *scan_offset = start;
            *scan_data_offset = at + length;
            return true;
        }
        at += length;
        visit(marker, start, at - start);
    }
    return false;
}

}  // namespace

std::optional<JpegStreamInfo> ReadJpegStream(const uint8_t* data, uint32_t size) {
    JpegStreamInfo info;
    bool has_frame_header = false;
    uint32_t scan_data_offset = 0;
    bool is_well_formed = ForEachHeaderSegment(
        data, size, &info.scan_offset, &scan_data_offset, [&](uint8_t marker, uint32_t start, uint32_t length) {
            const uint8_t* body = data + start + 4;
            const uint32_t body_length = length - 4;
            if (marker != kApp0) info.kept_header_bytes += length;
            if (marker == kHuffmanTables) info.has_huffman_tables = true;
            if (marker == kApp14 && body_length >= 5 && std::memcmp(body, "Adobe", 5) == 0)
                info.has_adobe_segment = true;
            if (IsFrameHeader(marker) && !has_frame_header && body_length >= 6) {
                has_frame_header = true;
                const uint8_t precision = body[0];
                info.height = static_cast<int32_t>(ReadU16(body + 1));
                info.width = static_cast<int32_t>(ReadU16(body + 3));
                const uint8_t components = body[5];
                info.is_baseline = marker == kBaselineFrame && precision == 8;
                if (components == 3 && body_length >= 6 + 9u) {
                    const uint8_t* c = body + 6;  // id, sampling (h << 4 | v), table, three times
                    info.is_four_two_zero = c[1] == 0x22 && c[4] == 0x11 && c[7] == 0x11;
                }
            }
        });
    if (!is_well_formed || !has_frame_header) return std::nullopt;
    // Cameras may pad a frame after its end; the stream is whole when an EOI follows the scan
    // header (one inside it would cut the header short).
    for (uint32_t at = size; at >= scan_data_offset + 2; --at) {
        if (data[at - 2] == kMarker && data[at - 1] == kEndOfImage) {
            info.end = at;
            break;
        }
    }
    return info;
}

uint32_t FittedCameraJpegSize(const JpegStreamInfo& info, int32_t width, int32_t height) {
    if (!info.is_baseline || !info.is_four_two_zero || info.has_adobe_segment || info.end == 0 || info.width != width ||
        info.height != height) {
        return 0;
    }
    const uint64_t size = sizeof kJfifStart + uint64_t{info.kept_header_bytes} +
                          (info.has_huffman_tables ? 0 : kStandardTablesSize) + (info.end - info.scan_offset);
    return size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
}

uint32_t FitCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height, uint8_t* out,
                       uint32_t capacity) {
    const std::optional<JpegStreamInfo> info = ReadJpegStream(data, size);
    if (!info) return 0;
    const uint32_t fitted = FittedCameraJpegSize(*info, width, height);
    if (fitted == 0 || fitted > capacity || out == nullptr) return 0;
    uint8_t* at = out;
    std::memcpy(at, kJfifStart, sizeof kJfifStart);
    at += sizeof kJfifStart;
    uint32_t scan_offset = 0;
    uint32_t scan_data_offset = 0;
    ForEachHeaderSegment(data, size, &scan_offset, &scan_data_offset,
                         [&](uint8_t marker, uint32_t start, uint32_t length) {
                             if (marker == kApp0)
                                 return;  // ours stands first; a second JFIF or an AVI1 segment is left out
                             std::memcpy(at, data + start, length);
                             at += length;
                         });
    if (!info->has_huffman_tables) at = WriteStandardTables(at);
    std::memcpy(at, data + info->scan_offset, info->end - info->scan_offset);
    at += info->end - info->scan_offset;
    return static_cast<uint32_t>(at - out);
}
