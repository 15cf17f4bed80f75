#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "recorder/encoding_recorder.h"

// Writes and reads archive (.CNA) files: the encoding recorder with the reading calls of an
// archive reader beside it. Readers that only read use CArchiveReader.
class CFrameArchive : public CEncodingRecorder {
public:
    explicit CFrameArchive(std::string storage_folder = {}) : CEncodingRecorder(std::move(storage_folder)) {}

    // --- reading ---
    // Opens path and finds its records (their heads, not their pictures).
    bool OpenFile(const std::string& path) { return Reading(reader_.OpenFile(path)); }
    // Frame k is the k-th record of the file; a damaged record keeps its number. Records cut
    // short by the end of the file are not counted, nor records beyond the stored count of a
    // file without a trailer (one still being recorded).
    int32_t GetFrameCount() const { return reader_.GetFrameCount(); }
    // The record count stored at offset 0, as it stands.
    int32_t GetStoredCount() const { return reader_.GetStoredCount(); }
    void SeekFrame(int32_t frame) {
        reader_.SeekFrame(frame);
        Reading(true);
    }
    // The indexing half of SeekFrame: makes frame current without reading or decoding the
    // picture. False when the frame is out of range.
    bool LocateFrame(int32_t frame) { return Reading(reader_.LocateFrame(frame)); }
    // Whether the last SeekFrame decoded its frame into the frame image.
    bool IsFrameDecoded() const { return reader_.IsFrameDecoded(); }
    BMP_File& GetFrameImage() { return reader_.GetFrameImage(); }
    const BMP_File& GetFrameImage() const { return reader_.GetFrameImage(); }
    double GetFrameTime() const { return reader_.GetFrameTime(); }
    // Copies frame's stored JPEG bytes into jpeg, locating the frame as SeekFrame does, without
    // decoding it: the current frame and its picture stay as they were. False, with jpeg
    // emptied, when the frame is out of range, not found or its record is damaged or cut short.
    bool ReadFrameJpeg(int32_t frame, std::vector<uint8_t>& jpeg) {
        return Reading(reader_.ReadFrameJpeg(frame, jpeg));
    }
    // Writes the current frame's stored JPEG bytes to path; false when nothing was written.
    bool SaveFrameJpeg(const std::string& path) { return Reading(reader_.SaveFrameJpeg(path)); }
    int32_t GetCurrentFrame() const { return reader_.GetCurrentFrame(); }
    cna_info_t GetFrameInfo(int32_t frame) const { return reader_.GetFrameInfo(frame); }  // zeroed outside
    // Where the record of frame lies and what was found there; nothing outside the archive.
    std::optional<ArchiveRecord> GetRecord(int32_t frame) const { return reader_.GetRecord(frame); }
    const std::string& GetOpenPath() const { return reader_.GetOpenPath(); }
    // Length of the file opened for reading, taken when it was opened.
    int64_t GetFileLength() const { return reader_.GetFileLength(); }
    const CArchiveReader& Reader() const { return reader_; }

private:
    // The error of the reading operation that just ran becomes the object's last error.
    template <typename Result>
    Result Reading(Result result) {
        SetLastError(reader_.GetLastError());
        return result;
    }

    CArchiveReader reader_;
};
