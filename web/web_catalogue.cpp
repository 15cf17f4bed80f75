#include "web/web_catalogue.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>

#include "archive/archive_reader.h"
#include "platform/ole_date.h"

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

// An archive opened and indexed once, for as long as the file stays as it was.
struct IndexedArchive {
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t bytes = 0;
        int64_t modified_ns = 0;
        bool operator==(const Identity& other) const {
            return device == other.device && inode == other.inode && bytes == other.bytes &&
                   modified_ns == other.modified_ns;
        }
    };
    Identity identity;
    std::mutex mutex;  // the reader's caches change as it reads
    bool is_opened = false;
    bool is_readable = false;
    CArchiveReader reader;
    int32_t frames = 0;
    std::optional<double> first_ole;
    std::optional<double> last_ole;
};

// Kept archives, the one used last first. Each holds an open file and its sparse index.
constexpr size_t kKeptArchives = 16;
std::mutex g_kept_mutex;
std::list<std::pair<std::string, std::shared_ptr<IndexedArchive>>> g_kept;

// The archive at path, indexed, with its mutex held by lock; nothing when it cannot be examined.
std::shared_ptr<IndexedArchive> Indexed(const std::string& path, std::unique_lock<std::mutex>& lock) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return nullptr;
    const IndexedArchive::Identity identity{info.st_dev, info.st_ino, info.st_size,
                                            int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec};
    std::shared_ptr<IndexedArchive> archive;
    {
        const std::lock_guard<std::mutex> kept_lock(g_kept_mutex);
        // Archives deleted or replaced go at once: an open file would keep a deleted one's space.
        g_kept.remove_if([](const auto& kept) {
            struct stat now {};
            return ::stat(kept.first.c_str(), &now) != 0 || now.st_ino != kept.second->identity.inode ||
                   now.st_dev != kept.second->identity.device;
        });
        const auto found = std::find_if(g_kept.begin(), g_kept.end(), [&](const auto& kept) {
            return kept.first == path && kept.second->identity == identity;
        });
        if (found != g_kept.end()) {
            archive = found->second;
            g_kept.splice(g_kept.begin(), g_kept, found);
        } else {
            g_kept.remove_if([&](const auto& kept) { return kept.first == path; });
            archive = std::make_shared<IndexedArchive>();
            archive->identity = identity;
            g_kept.emplace_front(path, archive);
            if (g_kept.size() > kKeptArchives) g_kept.pop_back();
        }
    }
    // Indexing happens under the archive's own lock: a slow archive holds up only its own readers.
    lock = std::unique_lock<std::mutex>(archive->mutex);
    if (!archive->is_opened) {
        archive->is_opened = true;
        archive->is_readable = archive->reader.OpenFile(path);
        if (archive->is_readable) {
            const CArchiveReader& reader = archive->reader;
            archive->frames = reader.GetFrameCount();
            for (int32_t i = 0; i < archive->frames && !archive->first_ole; ++i)
                archive->first_ole = RecordTime(reader, i);
            for (int32_t i = archive->frames - 1; i >= 0 && !archive->last_ole; --i) {
                archive->last_ole = RecordTime(reader, i);
            }
        }
    }
    return archive;
}

}  // namespace

void ReadRecords(WebArchive& archive) {
    std::unique_lock<std::mutex> lock;
    const std::shared_ptr<IndexedArchive> indexed = Indexed(archive.path, lock);
    if (!indexed || !indexed->is_readable) return;
    archive.frames = indexed->frames;
    archive.first_ole = indexed->first_ole;
    archive.last_ole = indexed->last_ole;
}

std::string DownloadName(const WebArchive& archive) {
    std::string time = archive.first_ole ? IsoLocalTime(*archive.first_ole) : std::string();
    if (time.size() < 19 || time[10] != 'T') return archive.name;
    // "2026-12-07T10:11:12.345" to "Cindral 2026-12-07 10-11-12": no colon a file system refuses.
    time.resize(19);
    time[10] = ' ';
    time[13] = '-';
    time[16] = '-';
    return "Cindral " + time;
}

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

std::optional<WebFrame> ReadArchiveFrame(const std::string& path, int32_t frame) {
    std::unique_lock<std::mutex> lock;
    const std::shared_ptr<IndexedArchive> indexed = Indexed(path, lock);
    WebFrame read;
    if (!indexed || !indexed->is_readable || !indexed->reader.ReadFrameJpeg(frame, read.jpeg)) return std::nullopt;
    const std::optional<ArchiveRecord> record = indexed->reader.GetRecord(frame);
    if (record) read.time = IsoLocalTime(record->time_stamp);
    return read;
}

std::string IsoLocalTime(double ole_date) { return archive_format::TimeText(ole_date, 'T', true); }
