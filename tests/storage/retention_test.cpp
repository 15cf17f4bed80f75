// Retention on a real storage folder of small archives: oldest first, pinned, recording and
// foreign entries kept, emptied day folders removed, a dry run changing nothing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/posix_file.h"
#include "recorder/frame_archive.h"
#include "storage/events_database.h"
#include "storage/retention.h"
#include "support/archive_test_support.h"

namespace fs = std::filesystem;
using archive_test::ManualClock;

namespace {

constexpr uint64_t kFreeNow = 5000;  // what the file system reports in these runs

// Oldest first: 20231231/z; 20240101/a, b and notes.txt; 20240102/kept (pinned), c, d (the
// newest finished); 20240103/open (being recorded here) and recent (written a moment ago, no
// trailer: another recorder's). Not archives: misc/old.CNA (no day folder) and
// 20240101/link.CNA (a link).
class StorageTree {
public:
    StorageTree() : storage_(folder_.Folder() + "Storage/") {
        int64_t modified_s = 1000;
        for (const auto& [name, day] : std::vector<std::pair<std::string, int>>{
                 {"z", 0}, {"a", 1}, {"b", 1}, {"kept", 2}, {"c", 2}, {"d", 2}, {"open", 3}, {"recent", 3}}) {
            Record(name, day, name != "recent");
            if (name != "recent") Touch(paths_[name], modified_s += 100);
        }
        for (const auto& [name, path] : paths_) {
            sizes_[name] = fs::file_size(path);
            held_[name] = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        }
        std::string error;
        EXPECT_TRUE(SetArchivePinned(paths_["kept"], true, &error)) << error;
        std::ofstream(storage_ + "20240101/notes.txt") << "notes";
        fs::create_directories(storage_ + "misc");
        fs::copy_file(paths_["z"], storage_ + "misc/old.CNA");
        Touch(storage_ + "misc/old.CNA", 10);
        fs::create_symlink(storage_ + "misc/old.CNA", storage_ + "20240101/link.CNA");
    }

    const std::string& Storage() const { return storage_; }
    const std::string& Path(const std::string& name) { return paths_.at(name); }
    // As made, before any run.
    uint64_t Size(const std::string& name) { return sizes_.at(name); }
    uint64_t Total() {
        uint64_t total = 0;
        for (const auto& [name, size] : sizes_) total += size;
        return total;
    }
    // The free space of a file system that frees an archive's bytes when its last name goes.
    uint64_t FreeBytes() const {
        uint64_t free_bytes = kFreeNow;
        for (const auto& [name, fd] : held_) {
            struct stat status {};
            if (::fstat(fd.Get(), &status) == 0 && status.st_nlink == 0) free_bytes += sizes_.at(name);
        }
        return free_bytes;
    }
    // A finished archive recorded at wall_seconds; its path.
    std::string RecordAt(const std::string& storage, int64_t wall_seconds) {
        ManualClock& clock = *clocks_.emplace_back(std::make_unique<ManualClock>());
        clock.wall_seconds = wall_seconds;
        CFrameArchive recorder(storage);
        recorder.SetClock(clock.Make());
        BMP_File picture;
        picture.Create(32, 24);
        EXPECT_TRUE(recorder.WriteFrame(picture)) << recorder.GetLastError();
        const std::string path = recorder.GetWritePath();
        EXPECT_TRUE(recorder.CloseFile());
        return path;
    }
    std::vector<std::string> Paths(const std::vector<std::string>& names) {
        std::vector<std::string> paths;
        for (const std::string& name : names) paths.push_back(Path(name));
        return paths;
    }

private:
    void Record(const std::string& name, int day, bool is_finished) {
        ManualClock& clock = *clocks_.emplace_back(std::make_unique<ManualClock>());
        clock.wall_seconds = 1704110400 + (day - 1) * 86400;  // 2023-12-31 12:00 UTC onwards
        clock.tick_ms = static_cast<uint32_t>(paths_.size() + 1);
        auto& recorder = recorders_.emplace_back(std::make_unique<CFrameArchive>(storage_));
        recorder->SetClock(clock.Make());
        BMP_File picture;
        picture.Create(32, 24);
        EXPECT_TRUE(recorder->WriteFrame(picture)) << recorder->GetLastError();
        paths_[name] = recorder->GetWritePath();
        if (is_finished) {
            EXPECT_TRUE(recorder->CloseFile());
        }
    }
    static void Touch(const std::string& path, int64_t modified_s) {
        fs::last_write_time(
            path, fs::file_time_type::clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(modified_s))));
    }

    archive_test::TempFolder folder_;
    std::string storage_;
    std::map<std::string, std::string> paths_;
    std::map<std::string, uint64_t> sizes_;
    std::map<std::string, UniqueFd> held_;
    // The recorders' clocks outlive them: the open one stamps its trailer when it is destroyed.
    std::vector<std::unique_ptr<ManualClock>> clocks_;
    std::vector<std::unique_ptr<CFrameArchive>> recorders_;  // "recent" stays open
};

}  // namespace

TEST(Retention, DeletesTheOldestUntilTheLimitsHoldAndNothingElse) {
    struct Case {
        const char* what;
        bool is_dry_run;
        std::function<RetentionLimits(StorageTree&)> limits;
        std::vector<std::string> deleted;
        std::vector<std::string> pinned;
        const char* problem;  // part of it; empty when the limits are met
    };
    // What may never go: the newest finished archive, the pinned one and the two being recorded.
    const auto kept = [](StorageTree& t) { return t.Size("d") + t.Size("kept") + t.Size("open") + t.Size("recent"); };
    const auto all_but = [](StorageTree& t, std::initializer_list<const char*> names) {
        uint64_t total = t.Total();
        for (const char* name : names) total -= t.Size(name);
        return total;
    };
    const std::vector<Case> cases = {
        {"under the limits",
         false,
         [](StorageTree& t) {
             return RetentionLimits{t.Total(), kFreeNow};
         },
         {},
         {},
         ""},
        {"size, within the oldest day",
         false,
         [&](StorageTree& t) {
             return RetentionLimits{all_but(t, {"z", "a"}), std::nullopt};
         },
         {"z", "a"},
         {},
         ""},
        {"size, past a pinned archive",
         false,
         [&](StorageTree& t) {
             return RetentionLimits{all_but(t, {"z", "a", "b"}) - 1, std::nullopt};
         },
         {"z", "a", "b", "c"},
         {"kept"},
         ""},
        {"size, met by all but the newest",
         false,
         [&](StorageTree& t) {
             return RetentionLimits{kept(t), std::nullopt};
         },
         {"z", "a", "b", "c"},
         {"kept"},
         ""},
        {"size, met only by deleting the newest: nothing goes",
         false,
         [&](StorageTree& t) {
             return RetentionLimits{kept(t) - 1, std::nullopt};
         },
         {},
         {"kept"},
         "the newest, pinned and recording archives alone take"},
        {"free space",
         false,
         [](StorageTree& t) {
             return RetentionLimits{std::nullopt, kFreeNow + t.Size("z") + 1};
         },
         {"z", "a"},
         {},
         ""},
        {"free space that other files take: nothing goes",
         false,
         [](StorageTree& t) {
             return RetentionLimits{std::nullopt, kFreeNow + t.Total() + 1};
         },
         {},
         {"kept"},
         "other files fill the disk"},
        {"only the size limit can be met",
         false,
         [&](StorageTree& t) {
             return RetentionLimits{all_but(t, {"z"}), kFreeNow + t.Total() + 1};
         },
         {"z"},
         {"kept"},
         "other files fill the disk"},
        {"dry run",
         true,
         [&](StorageTree& t) {
             return RetentionLimits{all_but(t, {"z", "a", "b"}) - 1, kFreeNow};
         },
         {"z", "a", "b", "c"},
         {"kept"},
         ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        StorageTree tree;
        const uint64_t total_before = tree.Total();
        RetentionRun run;
        run.limits = test.limits(tree);
        run.open_paths = {tree.Path("open")};
        run.is_dry_run = test.is_dry_run;
        run.free_bytes = [&tree](const std::string&) { return std::optional<uint64_t>(tree.FreeBytes()); };
        const RetentionResult result = ApplyRetention(tree.Storage(), run);

        EXPECT_EQ(tree.Paths(test.deleted), result.deleted);
        EXPECT_EQ(tree.Paths(test.pinned), result.pinned);
        EXPECT_EQ(std::string(test.problem).empty(), result.is_limit_met);
        if (*test.problem) {
            EXPECT_NE(std::string::npos, result.problem.find(test.problem)) << result.problem;
        } else {
            EXPECT_TRUE(result.problem.empty()) << result.problem;
        }
        EXPECT_TRUE(result.errors.empty());
        uint64_t freed = 0;
        for (const std::string& name : test.deleted) freed += tree.Size(name);
        EXPECT_EQ(freed, result.freed_bytes);
        EXPECT_EQ(total_before - freed, result.total_bytes);

        const bool is_deleting = !test.is_dry_run;
        for (const std::string name : {"z", "a", "b", "kept", "c", "d", "open", "recent"}) {
            const bool is_gone = is_deleting && std::count(test.deleted.begin(), test.deleted.end(), name) != 0;
            EXPECT_NE(is_gone, fs::exists(tree.Path(name))) << name;
        }
        // The emptied day folder goes; one with anything else in it stays, as do the foreign entries.
        const bool is_z_gone = is_deleting && !test.deleted.empty();
        EXPECT_NE(is_z_gone, fs::exists(tree.Storage() + "20231231"));
        EXPECT_TRUE(fs::exists(tree.Storage() + "20240101/notes.txt"));
        EXPECT_TRUE(fs::is_symlink(tree.Storage() + "20240101/link.CNA"));
        EXPECT_TRUE(fs::exists(tree.Storage() + "misc/old.CNA"));
        EXPECT_TRUE(IsArchivePinned(tree.Path("kept")));
    }
}

TEST(Retention, FreedSpaceIsMeasuredAndAFileHeldOpenStopsIt) {
    StorageTree tree;
    // z is still held open by a reader: deleting it frees nothing yet, and retention stops where
    // its size would have met the limit instead of deleting on.
    RetentionRun run;
    run.limits = RetentionLimits{std::nullopt, kFreeNow + tree.Size("z")};
    run.free_bytes = [&tree](const std::string&) {
        const uint64_t held = fs::exists(tree.Path("z")) ? 0 : tree.Size("z");
        return std::optional<uint64_t>(tree.FreeBytes() - held);
    };
    const RetentionResult result = ApplyRetention(tree.Storage(), run);
    EXPECT_EQ(tree.Paths({"z"}), result.deleted);
    EXPECT_EQ(0u, result.freed_bytes);
    EXPECT_FALSE(result.is_limit_met);
    EXPECT_NE(std::string::npos, result.problem.find("still open or linked elsewhere")) << result.problem;
}

TEST(Retention, AFileWithManyNamesCountsOnceAndTheDryRunSaysWhatTheRunDoes) {
    struct Case {
        const char* what;
        std::function<void(StorageTree&)> link;
        std::function<RetentionLimits(StorageTree&)> limits;
        std::vector<std::string> deleted;  // names of the tree, or paths below the storage folder
        std::vector<std::string> kept;     // below the storage folder
    };
    const auto link = [](StorageTree& t, const char* name, const std::string& to) {
        fs::create_hard_link(t.Path(name), t.Storage() + to);
    };
    const std::vector<Case> cases = {
        {"free space: both names of z go, the second frees it",
         [&](StorageTree& t) { link(t, "z", "20240101/0.CNA"); },
         [](StorageTree& t) {
             return RetentionLimits{std::nullopt, kFreeNow + t.Size("z")};
         },
         {"z", "20240101/0.CNA"},
         {}},
        {"size: z counts once",
         [&](StorageTree& t) { link(t, "z", "20240101/0.CNA"); },
         [](StorageTree& t) {
             return RetentionLimits{t.Total() - t.Size("z"), std::nullopt};
         },
         {"z", "20240101/0.CNA"},
         {}},
        {"free space: z has a name outside the day folders and is passed over",
         [&](StorageTree& t) { link(t, "z", "z-copy"); },
         [](StorageTree&) {
             return RetentionLimits{std::nullopt, kFreeNow + 1};
         },
         {"a"},
         {"z-copy"}},
        {"size: the newest's second name stays with it",
         [&](StorageTree& t) { link(t, "d", "20240101/0.CNA"); },
         [](StorageTree& t) {
             return RetentionLimits{t.Size("d") + t.Size("kept") + t.Size("open") + t.Size("recent"), std::nullopt};
         },
         {"z", "a", "b", "c"},
         {"20240101/0.CNA"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        for (const bool is_dry_run : {true, false}) {
            StorageTree tree;
            test.link(tree);
            RetentionRun run;
            run.limits = test.limits(tree);
            run.open_paths = {tree.Path("open")};
            run.is_dry_run = is_dry_run;
            run.free_bytes = [&tree](const std::string&) { return std::optional<uint64_t>(tree.FreeBytes()); };
            const RetentionResult result = ApplyRetention(tree.Storage(), run);
            std::vector<std::string> deleted;
            uint64_t freed = 0;
            for (const std::string& name : test.deleted) {
                deleted.push_back(name.find('/') == std::string::npos ? tree.Path(name) : tree.Storage() + name);
                if (name.find('/') == std::string::npos) freed += tree.Size(name);
            }
            EXPECT_EQ(deleted, result.deleted) << is_dry_run;
            EXPECT_TRUE(result.is_limit_met) << result.problem;
            EXPECT_TRUE(result.errors.empty());
            // Sizes of the names deleted: a file's second name adds nothing, to the total or the space freed.
            EXPECT_EQ(freed, result.freed_bytes) << is_dry_run;
            EXPECT_EQ(tree.Total() - freed, result.total_bytes) << is_dry_run;
            for (const std::string& path : deleted) EXPECT_EQ(is_dry_run, fs::exists(path)) << path;
            for (const std::string& name : test.kept) EXPECT_TRUE(fs::exists(tree.Storage() + name)) << name;
        }
    }
}

TEST(Retention, TheNewestIsTheArchiveWrittenLastWhateverItsDayFolderIsCalled) {
    StorageTree tree;
    // Day folders named in the future: a copy of z (written before d, whatever its file time says)
    // and an archive stamped by a clock that was ahead, both there before d was finished.
    fs::create_directories(tree.Storage() + "20991231");
    fs::copy_file(tree.Path("z"), tree.Storage() + "20991231/1.CNA");
    const std::string ahead = tree.RecordAt(tree.Storage(), 4102401600);  // 2099-12-31 12:00 UTC
    ASSERT_EQ(0u, ahead.rfind(tree.Storage() + "20991231/", 0)) << ahead;
    const std::vector<std::string> open = {tree.Path("open")};
    std::vector<std::string> deleted;
    std::string error;
    while (const auto path = DeleteOldestArchive(tree.Storage(), open, &error)) deleted.push_back(*path);
    EXPECT_TRUE(error.empty()) << error;
    // The stamp from the future ranks first, the copy beside the z it was copied from.
    EXPECT_EQ((std::vector<std::string>{ahead, tree.Path("z"), tree.Storage() + "20991231/1.CNA", tree.Path("a"),
                                        tree.Path("b"), tree.Path("c")}),
              deleted);
    EXPECT_TRUE(fs::exists(tree.Path("d")));
}

TEST(Retention, AFullDiskTakesTheOldestArchiveOneAtATimeButNeverTheNewest) {
    StorageTree tree;
    const std::vector<std::string> open = {tree.Path("open")};
    // An event recorded in each archive: those deleted go from the events database with them.
    const std::vector<std::string> all = {"z", "a", "b", "c", "kept", "d", "open", "recent"};
    {
        CEventsDatabase events;
        std::string error;
        ASSERT_TRUE(events.Open(tree.Storage(), error)) << error;
        for (const std::string& name : all) {
            StoredEvent event;
            event.start_ole = event.end_ole = 46000.0;
            event.archive = ArchiveWithinStorage(tree.Storage(), tree.Path(name));
            ASSERT_FALSE(event.archive.empty()) << tree.Path(name);
            ASSERT_TRUE(events.Add(event, error)) << error;
        }
    }
    std::vector<std::string> deleted;
    std::string error;
    while (const auto path = DeleteOldestArchive(tree.Storage(), open, &error)) deleted.push_back(*path);
    EXPECT_EQ(tree.Paths({"z", "a", "b", "c"}), deleted);
    EXPECT_TRUE(error.empty()) << error;
    for (const std::string name : {"kept", "d", "open", "recent"}) EXPECT_TRUE(fs::exists(tree.Path(name))) << name;
    CEventsDatabase events;
    ASSERT_TRUE(events.Open(tree.Storage(), error)) << error;
    std::set<std::string> listed;
    const auto remaining = events.Between(0.0, 50000.0, error);
    ASSERT_TRUE(remaining.has_value()) << error;
    for (const StoredEvent& event : *remaining) listed.insert(event.archive);
    std::set<std::string> expected;
    for (const std::string name : {"kept", "d", "open", "recent"})
        expected.insert(ArchiveWithinStorage(tree.Storage(), tree.Path(name)));
    EXPECT_EQ(listed, expected);
}

TEST(Retention, AStorageFolderNotMadeYetHoldsNothingAndIsNoError) {
    archive_test::TempFolder folder;
    RetentionRun run;
    run.limits = RetentionLimits{1, uint64_t{1} << 62};  // both limits far from met, were anything stored
    const RetentionResult result = ApplyRetention(folder.Folder() + "Storage/", run);
    EXPECT_TRUE(result.errors.empty()) << result.errors.front();
    EXPECT_TRUE(result.deleted.empty());
    EXPECT_EQ(0u, result.total_bytes);
    EXPECT_TRUE(result.is_limit_met);
    EXPECT_FALSE(fs::exists(folder.Folder() + "Storage"));
}

TEST(Retention, DeletedArchivesTakeTheirEventsAlongAndNoDatabaseIsMadeForIt) {
    StorageTree tree;
    RetentionRun run;
    run.open_paths = {tree.Path("open"), tree.Path("recent")};
    run.limits.max_total_bytes = tree.Total() - tree.Size("z") - tree.Size("a");
    RetentionResult result = ApplyRetention(tree.Storage(), run);
    ASSERT_EQ(result.deleted, tree.Paths({"z", "a"}));
    EXPECT_FALSE(fs::exists(tree.Storage() + "/" + CEventsDatabase::kFileName));

    std::string error;
    {
        CEventsDatabase events;
        ASSERT_TRUE(events.Open(tree.Storage(), error)) << error;
        for (const std::string name : {"b", "c"}) {
            StoredEvent event;
            event.archive = ArchiveWithinStorage(tree.Storage(), tree.Path(name));
            ASSERT_TRUE(events.Add(event, error)) << error;
        }
    }
    run.limits.max_total_bytes = *run.limits.max_total_bytes - tree.Size("b");
    result = ApplyRetention(tree.Storage(), run);
    ASSERT_EQ(result.deleted, tree.Paths({"b"}));
    EXPECT_EQ(result.events_error, "");
    CEventsDatabase events;
    ASSERT_TRUE(events.Open(tree.Storage(), error)) << error;
    const auto listed = events.Between(-1.0, 1.0, error);
    ASSERT_TRUE(listed && listed->size() == 1u);
    EXPECT_EQ((*listed)[0].archive, ArchiveWithinStorage(tree.Storage(), tree.Path("c")));
}
