#include "web/web_catalogue.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "platform/ole_date.h"
#include "recording/archive_reader.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const {
        if (dir) ::closedir(dir);
    }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

bool IsEightDigits(const std::string& name) {
    return name.size() == 8 && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The name without an extension of ".CNA" in any case; empty when it has none or hides.
std::string ArchiveBaseName(const std::string& file_name) {
    if (file_name.size() <= 4 || file_name.front() == '.') return {};
    std::string extension = file_name.substr(file_name.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return extension == ".CNA" ? file_name.substr(0, file_name.size() - 4) : std::string();
}

std::optional<double> RecordTime(const CArchiveReader& reader, int32_t frame) {
    const std::optional<ArchiveRecord> record = reader.GetRecord(frame);
    if (!record || record->time_stamp == 0.0 || !OleDateToCalendar(record->time_stamp)) return std::nullopt;
    return record->time_stamp;
}

void ReadRecords(WebArchive& archive) {
    CArchiveReader reader;
    if (!reader.OpenFile(archive.path)) return;
    archive.frames = reader.GetFrameCount();
    for (int32_t i = 0; i < archive.frames && !archive.first_ole; ++i) archive.first_ole = RecordTime(reader, i);
    for (int32_t i = archive.frames - 1; i >= 0 && !archive.last_ole; --i) archive.last_ole = RecordTime(reader, i);
}

}  // namespace

std::vector<std::string> ListDays(const std::string& storage_folder) {
    std::vector<std::string> days;
    const std::string folder = WithSlash(storage_folder);
    const DirPtr dir(::opendir(folder.c_str()));
    if (!dir) return days;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (IsEightDigits(name) && ::lstat((folder + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            days.push_back(name);
        }
    }
    std::sort(days.begin(), days.end());
    return days;
}

std::optional<std::vector<WebArchive>> ListArchives(const std::string& storage_folder, const std::string& day,
                                                    bool is_reading_records) {
    const std::vector<std::string> days = ListDays(storage_folder);
    if (std::find(days.begin(), days.end(), day) == days.end()) return std::nullopt;
    const std::string folder = WithSlash(storage_folder) + day + "/";
    std::vector<WebArchive> archives;
    const DirPtr dir(::opendir(folder.c_str()));
    if (!dir) return archives;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string file_name = entry->d_name;
        const std::string name = ArchiveBaseName(file_name);
        struct stat info {};
        if (name.empty() || ::lstat((folder + file_name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        WebArchive archive;
        archive.name = name;
        archive.path = folder + file_name;
        archive.bytes = info.st_size;
        archive.is_pinned = (info.st_mode & S_IWUSR) == 0;
        archives.push_back(std::move(archive));
    }
    // Tick names: shorter numbers first, then by their digits.
    std::sort(archives.begin(), archives.end(), [](const WebArchive& a, const WebArchive& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    if (is_reading_records) {
        for (WebArchive& archive : archives) ReadRecords(archive);
    }
    return archives;
}

std::optional<WebArchive> FindArchive(const std::string& storage_folder, const std::string& day,
                                      const std::string& name) {
    const std::optional<std::vector<WebArchive>> archives = ListArchives(storage_folder, day, false);
    if (!archives) return std::nullopt;
    for (const WebArchive& archive : *archives) {
        if (archive.name == name) return archive;
    }
    return std::nullopt;
}

std::string IsoLocalTime(double ole_date) {
    const std::optional<CalendarTime> time = OleDateToCalendar(ole_date);
    if (!time) return {};
    const double fraction = ole_date - std::floor(ole_date);
    const int64_t ms_of_day = std::llround(fraction * 86400000.0);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", time->year, time->month, time->day,
                  time->hour, time->minute, time->second, static_cast<int>(ms_of_day % 1000));
    return text;
}
