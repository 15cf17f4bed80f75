#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What remote viewers may reach of a storage folder: its day folders and the archives in them,
// found by listing, never by joining a name from a request to a path.

// Day folders (eight digits, real folders, not links) of storage_folder, oldest first.
std::vector<std::string> ListDays(const std::string& storage_folder);

struct WebArchive {
    std::string name;  // the file's name without ".CNA"
    std::string path;  // storage folder + day + "/" + file name
    int32_t frames = 0;
    std::optional<double> first_ole;  // the first and last records' times (local OLE dates)
    std::optional<double> last_ole;
    bool is_pinned = false;
    int64_t bytes = 0;
};

// The archives of day (regular files named *.CNA in any letter case, not links), oldest name
// first; nullopt when day is not one of ListDays. With is_reading_records false, frames and
// times are left unread.
std::optional<std::vector<WebArchive>> ListArchives(const std::string& storage_folder, const std::string& day,
                                                    bool is_reading_records = true);
// The archive of that day listed under name (without its extension), its records unread.
std::optional<WebArchive> FindArchive(const std::string& storage_folder, const std::string& day,
                                      const std::string& name);
// Fills in archive's frame count and first and last times (indexed as ReadArchiveFrame does).
void ReadRecords(WebArchive& archive);
// What a download of archive is called, without extension: "Cindral 2026-12-07 10-11-12" by its
// first record's time, or its file name when no record has a time.
std::string DownloadName(const WebArchive& archive);

// Frame of the archive at path, with its recorded time as IsoLocalTime gives it; nothing when
// the archive holds no such readable frame. The archive is indexed once while its size and
// modification time stay the same (a few archives are kept); safe from any thread.
struct WebFrame {
    std::vector<uint8_t> jpeg;
    std::string time;  // empty when the record has no time a calendar holds
};
std::optional<WebFrame> ReadArchiveFrame(const std::string& path, int32_t frame);

// "2026-12-07T10:11:12.345" of a local OLE date.
std::string IsoLocalTime(double ole_date);
