#include "storage/events_database.h"
#include "storage/events_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "support/archive_test_support.h"
#include "support/temp_folder.h"

namespace {

StoredEvent Event(double start_ole, const std::string& archive, const std::string& label = "motion") {
    StoredEvent event;
    event.start_ole = start_ole;
    event.end_ole = start_ole + 10.0 / 86400.0;
    event.archive = archive;
    event.first_frame = 0;
    event.last_frame = 149;
    event.peak_blocks = 1234;
    event.label = label;
    event.best_frame = 40;
    event.box = {10, 20, 64, 128};
    return event;
}

TEST(EventsDatabase, EventsAreKeptAcrossOpeningsFoundByTimeAndForgottenWithTheirArchive) {
    TempFolder storage;
    const double day = 46364.0;  // 2026-12-08
    {
        CEventsDatabase database;
        std::string error;
        ASSERT_TRUE(database.Open(storage.Folder(), error)) << error;
        StoredEvent morning = Event(day + 0.25, "20261208/100.CNA", "person");
        StoredEvent noon = Event(day + 0.5, "20261208/200.CNA");
        StoredEvent noon_again = Event(day + 0.5 + 60.0 / 86400.0, "20261208/200.CNA");
        ASSERT_TRUE(database.Add(noon, error)) << error;
        ASSERT_TRUE(database.Add(morning, error)) << error;
        ASSERT_TRUE(database.Add(noon_again, error)) << error;
        EXPECT_NE(morning.id, noon.id);
        const std::optional<StoredEvent> found = database.Find(morning.id, error);
        ASSERT_TRUE(found.has_value()) << error;
        EXPECT_EQ(found->label, "person");
        EXPECT_EQ(found->box, (std::array<int32_t, 4>{10, 20, 64, 128}));
        EXPECT_EQ(found->archive, "20261208/100.CNA");
        EXPECT_EQ(found->peak_blocks, 1234);
        EXPECT_FALSE(database.Find(noon_again.id + 100, error).has_value());
    }
    CEventsDatabase database;
    std::string error;
    ASSERT_TRUE(database.Open(storage.Folder(), error)) << error;
    // An event is found by any overlap with the span asked for, oldest first.
    auto listed = database.Between(day, day + 1.0, error);
    ASSERT_TRUE(listed.has_value()) << error;
    ASSERT_EQ(listed->size(), 3u);
    EXPECT_EQ((*listed)[0].archive, "20261208/100.CNA");
    listed = database.Between(day + 0.25 + 5.0 / 86400.0, day + 0.3, error);
    ASSERT_TRUE(listed.has_value());
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ((*listed)[0].label, "person");

    ASSERT_TRUE(database.RemoveArchive("20261208/200.CNA", error)) << error;
    listed = database.Between(day, day + 1.0, error);
    ASSERT_EQ(listed->size(), 1u);

    std::vector<StoredEvent> rebuilt = {Event(day + 0.1, "20261208/50.CNA"), Event(day + 0.2, "20261208/60.CNA")};
    ASSERT_TRUE(database.ReplaceAll(rebuilt, error)) << error;
    listed = database.Between(day, day + 1.0, error);
    ASSERT_EQ(listed->size(), 2u);
    EXPECT_EQ((*listed)[1].archive, "20261208/60.CNA");
    EXPECT_GT(rebuilt[1].id, 0);
}

TEST(EventsDatabase, ADamagedOrForeignFileIsSetAsideUnchangedAndANewOneMade) {
    TempFolder storage;
    const std::string path = storage.File(CEventsDatabase::kFileName);
    for (const std::string& content :
         {std::string("not a database at all, but long enough to be read as one....."),
          std::string("SQLite format 3") + std::string(1, '\0') + std::string(4096, '\x7f')}) {
        const std::vector<uint8_t> bytes(content.begin(), content.end());
        archive_test::WriteBytes(path, bytes);
        CEventsDatabase database;
        std::string error;
        std::string aside;
        ASSERT_TRUE(database.Open(storage.Folder(), error, &aside)) << error;
        ASSERT_FALSE(aside.empty());
        EXPECT_EQ(archive_test::ReadBytes(aside), bytes);
        StoredEvent event = Event(46364.5, "20261208/1.CNA");
        EXPECT_TRUE(database.Add(event, error)) << error;
        std::filesystem::remove(aside);
    }
}

TEST(EventsWriter, EventsFromManyThreadsAreWrittenAndAFailureIsToldOnceUntilWritingWorksAgain) {
    TempFolder folder;
    const std::string storage = folder.File("Storage");  // not made yet: writing fails
    std::vector<std::string> told;
    std::mutex told_mutex;
    CEventsWriter writer([&](const std::string& text) {
        const std::lock_guard<std::mutex> lock(told_mutex);
        told.push_back(text);
    });
    writer.Submit(storage, Event(46364.1, "20261208/1.CNA"));
    writer.Submit(storage, Event(46364.2, "20261208/2.CNA"));
    writer.WaitIdle();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("events are recorded but not listed: "), std::string::npos) << told[0];

    std::filesystem::create_directory(storage);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) writer.Submit(storage, Event(46364.3 + t * 0.01 + i * 1e-4, "20261208/3.CNA"));
        });
    }
    for (std::thread& thread : threads) thread.join();
    writer.WaitIdle();
    EXPECT_EQ(told.size(), 1u);
    CEventsDatabase database;
    std::string error;
    ASSERT_TRUE(database.Open(storage, error)) << error;
    const auto listed = database.Between(46364.0, 46365.0, error);
    ASSERT_TRUE(listed.has_value()) << error;
    EXPECT_EQ(listed->size(), 100u);
}

TEST(EventsDatabase, ArchivesAreNamedByTheirDayFolderWithinTheStorageFolderOnly) {
    EXPECT_EQ(ArchiveWithinStorage("/s/Storage", "/s/Storage/20261208/123.CNA"), "20261208/123.CNA");
    EXPECT_EQ(ArchiveWithinStorage("/s/Storage/", "/s/Storage/20261208/123.CNA"), "20261208/123.CNA");
    EXPECT_EQ(ArchiveWithinStorage("/s/Storage", "/s/Storage2/20261208/123.CNA"), "");
    EXPECT_EQ(ArchiveWithinStorage("/s/Storage", "/s/Storage/elsewhere/123.CNA"), "");
    EXPECT_EQ(ArchiveWithinStorage("/s/Storage", "/s/Storage/20261208/x/123.CNA"), "");
}

}  // namespace
