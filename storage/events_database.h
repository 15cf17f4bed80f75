#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One motion event as the events database keeps it. Times are local OLE dates, as in archives.
struct StoredEvent {
    int64_t id = 0;  // given by the database
    double start_ole = 0.0;
    double end_ole = 0.0;
    std::string archive;  // "YYYYMMDD/NAME.CNA", within the storage folder
    int32_t first_frame = 0;
    int32_t last_frame = 0;
    int64_t peak_blocks = 0;       // the most blocks that moved in one frame
    std::string label = "motion";  // "motion", or "person" once one was seen
    int32_t best_frame = -1;       // the frame that shows the event best; -1: none chosen
    std::array<int32_t, 4> box{};  // x, y, width, height in the frame's pixels; width 0: none
};

struct SqliteClose {
    void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
using SqlitePtr = std::unique_ptr<sqlite3, SqliteClose>;

// The day's events in a SQLite file in the storage folder (write-ahead log, one writer). It is a
// convenience, not the record: the archives stay the truth and it can be rebuilt from them. A
// damaged file is moved aside and a new one made, never repaired in place. Not thread-safe: one
// owner at a time.
class CEventsDatabase {
public:
    static constexpr const char* kFileName = "Cindral Events.sqlite";

    // Opens or creates the database of storage_folder. A file that is not a database of ours, or
    // is damaged, is renamed "....damaged-N" beside it (its name in *set_aside) and replaced.
    // False with error (SQLite's own words) when no database can be had.
    bool Open(const std::string& storage_folder, std::string& error, std::string* set_aside = nullptr);
    // Opens the database of storage_folder only to read it: nothing is made, checked or set aside.
    // False with error when there is none or it cannot be read.
    bool OpenForReading(const std::string& storage_folder, std::string& error);
    bool IsOpen() const { return database_ != nullptr; }

    // Adds event and sets its id.
    bool Add(StoredEvent& event, std::string& error);
    // Forgets the events of one archive (when the archive is deleted).
    bool RemoveArchive(const std::string& archive, std::string& error);
    // Replaces every event with these, all at once (a rebuild from the archives).
    bool ReplaceAll(std::vector<StoredEvent>& events, std::string& error);
    // Events that overlap [from_ole, to_ole], oldest first.
    std::optional<std::vector<StoredEvent>> Between(double from_ole, double to_ole, std::string& error);
    std::optional<StoredEvent> Find(int64_t id, std::string& error);

private:
    bool Execute(const char* sql, std::string& error);
    bool Insert(StoredEvent& event, std::string& error);

    SqlitePtr database_;
};

// "YYYYMMDD/NAME.CNA" of an archive's path within storage_folder; empty when it is not in one
// of its day folders.
std::string ArchiveWithinStorage(const std::string& storage_folder, const std::string& archive_path);
