#include "storage/events_database.h"

#include <sys/stat.h>

#include <cstdio>

namespace {

struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

constexpr int kSchemaVersion = 1;
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY,"
    " start_ole REAL NOT NULL, end_ole REAL NOT NULL, archive TEXT NOT NULL,"
    " first_frame INTEGER NOT NULL, last_frame INTEGER NOT NULL, peak_blocks INTEGER NOT NULL,"
    " label TEXT NOT NULL, best_frame INTEGER NOT NULL,"
    " box_x INTEGER NOT NULL, box_y INTEGER NOT NULL, box_width INTEGER NOT NULL, box_height INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_by_start ON events (start_ole);"
    "CREATE INDEX IF NOT EXISTS events_by_archive ON events (archive);";
constexpr const char* kColumns =
    "id, start_ole, end_ole, archive, first_frame, last_frame, peak_blocks, label, best_frame, box_x, box_y, "
    "box_width, box_height";
// A writer that finds the file busy waits this long before giving up.
constexpr int kBusyWaitMs = 2000;

std::string Words(sqlite3* database, const std::string& step) {
    return step + ": " + (database != nullptr ? sqlite3_errmsg(database) : "out of memory");
}

StatementPtr Prepare(sqlite3* database, const std::string& sql, std::string& error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        error = Words(database, "cannot prepare a query of the events database");
        return nullptr;
    }
    return StatementPtr(statement);
}

StoredEvent ReadRow(sqlite3_stmt* statement) {
    StoredEvent event;
    event.id = sqlite3_column_int64(statement, 0);
    event.start_ole = sqlite3_column_double(statement, 1);
    event.end_ole = sqlite3_column_double(statement, 2);
    const auto* archive = reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
    event.archive = archive != nullptr ? archive : "";
    event.first_frame = sqlite3_column_int(statement, 4);
    event.last_frame = sqlite3_column_int(statement, 5);
    event.peak_blocks = sqlite3_column_int64(statement, 6);
    const auto* label = reinterpret_cast<const char*>(sqlite3_column_text(statement, 7));
    event.label = label != nullptr ? label : "";
    event.best_frame = sqlite3_column_int(statement, 8);
    for (int i = 0; i < 4; ++i) event.box[static_cast<size_t>(i)] = sqlite3_column_int(statement, 9 + i);
    return event;
}

// Opens path and makes sure it is a database of ours, creating the table in a new one.
SqlitePtr OpenChecked(const std::string& path, std::string& error, bool& is_damaged) {
    is_damaged = false;
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
    SqlitePtr database(raw);
    if (opened != SQLITE_OK) {
        error = Words(database.get(), "cannot open the events database " + path);
        return nullptr;
    }
    sqlite3_busy_timeout(database.get(), kBusyWaitMs);
    char* message = nullptr;
    // The first statement that reads the file tells a damaged or foreign one.
    const int checked =
        sqlite3_exec(database.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA quick_check;", nullptr,
                     nullptr, &message);
    sqlite3_free(message);
    int version = -1;
    if (checked == SQLITE_OK) {
        StatementPtr statement = Prepare(database.get(), "PRAGMA user_version", error);
        if (statement && sqlite3_step(statement.get()) == SQLITE_ROW) version = sqlite3_column_int(statement.get(), 0);
    }
    const int code = sqlite3_errcode(database.get());
    if (checked == SQLITE_CORRUPT || checked == SQLITE_NOTADB || code == SQLITE_CORRUPT || code == SQLITE_NOTADB ||
        (version != 0 && version != kSchemaVersion)) {
        error = Words(database.get(), "the events database " + path + " is damaged or not ours");
        is_damaged = true;
        return nullptr;
    }
    if (checked != SQLITE_OK) {
        error = Words(database.get(), "cannot read the events database " + path);
        return nullptr;
    }
    if (version == 0) {
        const std::string create =
            std::string("BEGIN;") + kSchema + "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT;";
        if (sqlite3_exec(database.get(), create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            error = Words(database.get(), "cannot make the events table in " + path);
            return nullptr;
        }
    }
    return database;
}

}  // namespace

bool CEventsDatabase::Open(const std::string& storage_folder, std::string& error, std::string* set_aside) {
    database_.reset();
    const std::string path =
        storage_folder + (storage_folder.empty() || storage_folder.back() == '/' ? "" : "/") + kFileName;
    bool is_damaged = false;
    database_ = OpenChecked(path, error, is_damaged);
    if (database_ || !is_damaged) return database_ != nullptr;
    // Moved aside, never deleted: it may still be read by hand.
    std::string aside;
    struct stat existing {};
    for (int n = 1; n < 1000; ++n) {
        aside = path + ".damaged-" + std::to_string(n);
        if (::lstat(aside.c_str(), &existing) != 0) break;
    }
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        error += "; it cannot be set aside";
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) std::remove((path + suffix).c_str());
    if (set_aside != nullptr) *set_aside = aside;
    database_ = OpenChecked(path, error, is_damaged);
    return database_ != nullptr;
}

bool CEventsDatabase::OpenForReading(const std::string& storage_folder, std::string& error) {
    database_.reset();
    const std::string path =
        storage_folder + (storage_folder.empty() || storage_folder.back() == '/' ? "" : "/") + kFileName;
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    SqlitePtr database(raw);
    if (opened != SQLITE_OK) {
        error = Words(database.get(), "cannot open the events database " + path);
        return false;
    }
    sqlite3_busy_timeout(database.get(), kBusyWaitMs);
    database_ = std::move(database);
    return true;
}

bool CEventsDatabase::Execute(const char* sql, std::string& error) {
    if (sqlite3_exec(database_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    error = Words(database_.get(), std::string("the events database refused '") + sql + "'");
    return false;
}

bool CEventsDatabase::Insert(StoredEvent& event, std::string& error) {
    StatementPtr statement = Prepare(
        database_.get(),
        std::string("INSERT INTO events (") + kColumns + ") VALUES (NULL, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", error);
    if (!statement) return false;
    sqlite3_stmt* s = statement.get();
    sqlite3_bind_double(s, 1, event.start_ole);
    sqlite3_bind_double(s, 2, event.end_ole);
    sqlite3_bind_text(s, 3, event.archive.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 4, event.first_frame);
    sqlite3_bind_int(s, 5, event.last_frame);
    sqlite3_bind_int64(s, 6, event.peak_blocks);
    sqlite3_bind_text(s, 7, event.label.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 8, event.best_frame);
    for (int i = 0; i < 4; ++i) sqlite3_bind_int(s, 9 + i, event.box[static_cast<size_t>(i)]);
    if (sqlite3_step(s) != SQLITE_DONE) {
        error = Words(database_.get(), "cannot add an event to the events database");
        return false;
    }
    event.id = sqlite3_last_insert_rowid(database_.get());
    return true;
}

bool CEventsDatabase::Add(StoredEvent& event, std::string& error) {
    if (!database_) {
        error = "the events database is not open";
        return false;
    }
    return Insert(event, error);
}

bool CEventsDatabase::RemoveArchive(const std::string& archive, std::string& error) {
    if (!database_) {
        error = "the events database is not open";
        return false;
    }
    StatementPtr statement = Prepare(database_.get(), "DELETE FROM events WHERE archive = ?", error);
    if (!statement) return false;
    sqlite3_bind_text(statement.get(), 1, archive.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(statement.get()) == SQLITE_DONE) return true;
    error = Words(database_.get(), "cannot forget the events of " + archive);
    return false;
}

bool CEventsDatabase::ReplaceAll(std::vector<StoredEvent>& events, std::string& error) {
    if (!database_) {
        error = "the events database is not open";
        return false;
    }
    if (!Execute("BEGIN IMMEDIATE", error)) return false;
    bool is_done = Execute("DELETE FROM events", error);
    for (StoredEvent& event : events) {
        if (!is_done) break;
        is_done = Insert(event, error);
    }
    if (is_done && Execute("COMMIT", error)) return true;
    std::string ignored;
    Execute("ROLLBACK", ignored);
    return false;
}

std::optional<std::vector<StoredEvent>> CEventsDatabase::Between(double from_ole, double to_ole, std::string& error) {
    if (!database_) {
        error = "the events database is not open";
        return std::nullopt;
    }
    StatementPtr statement = Prepare(
        database_.get(),
        std::string("SELECT ") + kColumns + " FROM events WHERE end_ole >= ? AND start_ole <= ? ORDER BY start_ole, id",
        error);
    if (!statement) return std::nullopt;
    sqlite3_bind_double(statement.get(), 1, from_ole);
    sqlite3_bind_double(statement.get(), 2, to_ole);
    std::vector<StoredEvent> events;
    int stepped;
    while ((stepped = sqlite3_step(statement.get())) == SQLITE_ROW) events.push_back(ReadRow(statement.get()));
    if (stepped != SQLITE_DONE) {
        error = Words(database_.get(), "cannot read the events database");
        return std::nullopt;
    }
    return events;
}

std::optional<StoredEvent> CEventsDatabase::Find(int64_t id, std::string& error) {
    if (!database_) {
        error = "the events database is not open";
        return std::nullopt;
    }
    StatementPtr statement =
        Prepare(database_.get(), std::string("SELECT ") + kColumns + " FROM events WHERE id = ?", error);
    if (!statement) return std::nullopt;
    sqlite3_bind_int64(statement.get(), 1, id);
    const int stepped = sqlite3_step(statement.get());
    if (stepped == SQLITE_ROW) return ReadRow(statement.get());
    if (stepped != SQLITE_DONE) error = Words(database_.get(), "cannot read the events database");
    return std::nullopt;
}

std::string ArchiveWithinStorage(const std::string& storage_folder, const std::string& archive_path) {
    std::string folder = storage_folder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    if (archive_path.size() <= folder.size() || archive_path.compare(0, folder.size(), folder) != 0) return {};
    const std::string rest = archive_path.substr(folder.size());
    const size_t slash = rest.find('/');
    if (slash != 8 || rest.find('/', slash + 1) != std::string::npos) return {};
    for (size_t i = 0; i < 8; ++i) {
        if (rest[i] < '0' || rest[i] > '9') return {};
    }
    return rest;
}
