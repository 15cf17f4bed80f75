// The live session's retention schedule and motion event relay on their own, with a real archive
// and recorder that have nothing open.
#include <gtest/gtest.h>

#include <QObject>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "capture/motion_event_relay.h"
#include "capture/queued_calls.h"
#include "capture/retention_schedule.h"
#include "recorder/frame_archive.h"
#include "recorder/recorder_monitor.h"
#include "support/temp_folder.h"

namespace {

// What the session hands its parts: an archive and recorder with nothing open, and its queue.
struct SessionParts {
    TempFolder folder;
    CFrameArchive archive{folder.Folder()};
    CRecorderMonitor recorder{archive};
    QObject owner;
    CQueuedCalls* calls = new CQueuedCalls(&owner);
};

}  // namespace

TEST(RetentionSchedule, RunsAskedForDuringARunBecomeOneMoreAndAProblemGoesWithTheLimits) {
    SessionParts parts;
    CRetentionSchedule schedule(parts.archive, parts.recorder, *parts.calls);
    int runs = 0;
    int problem_changes = 0;
    QObject::connect(&schedule, &CRetentionSchedule::Applied, [&] { ++runs; });
    QObject::connect(&schedule, &CRetentionSchedule::StorageProblemChanged, [&] { ++problem_changes; });

    schedule.Run();
    schedule.Finish();
    EXPECT_EQ(0, runs) << "no limit set: nothing runs";

    // More free space than any disk has: a limit that cannot be met.
    schedule.SetLimits(RetentionLimits{std::nullopt, std::numeric_limits<uint64_t>::max() / 2});
    schedule.Run();
    schedule.Run();
    schedule.Run();
    schedule.Finish();
    EXPECT_EQ(2, runs) << "the runs asked for during the first are one more after it";
    EXPECT_NE(std::string::npos, schedule.StorageProblem().find("cannot keep")) << schedule.StorageProblem();
    EXPECT_EQ(1, problem_changes);

    schedule.SetLimits(RetentionLimits{});
    EXPECT_EQ("", schedule.StorageProblem());
    EXPECT_EQ(2, problem_changes);
}

TEST(MotionEventRelay, EventsArePairedWithTheirArchivesInOrderAndOneWhoseArchiveNeverOpenedIsStillTold) {
    SessionParts parts;
    CMotionEventRelay relay(*parts.calls, [] { return std::string("Test Camera"); });
    std::vector<std::string> told;
    QObject::connect(&relay, &CMotionEventRelay::MotionEvent, [&](bool is_start, const QString& path, qint64 wall_ms) {
        told.push_back((is_start ? "start " : "end ") + path.toStdString() + " " + std::to_string(wall_ms));
    });
    std::vector<std::string> listed;
    relay.SetEventEndedHandler([&](const CMotionEventRelay::EndedEvent& ended) {
        listed.push_back(ended.archive_path + " " + std::to_string(ended.start_wall_ms) + "-" +
                         std::to_string(ended.end_wall_ms) + " peak " + std::to_string(ended.peak_blocks));
    });

    relay.OnNote({MotionEventNote::Kind::kStart, 1000, 3});
    parts.calls->RunPosted();
    EXPECT_TRUE(told.empty()) << "told before its archive is known";
    relay.OnArchiveStarted("/rec/a.CNA");
    relay.OnNote({MotionEventNote::Kind::kEnd, 5000, 40});
    parts.calls->RunPosted();
    // Seen late, as when the window is busy: two events end before either archive is named.
    relay.OnNote({MotionEventNote::Kind::kStart, 7000, 1});
    relay.OnNote({MotionEventNote::Kind::kEnd, 9000, 8});
    relay.OnNote({MotionEventNote::Kind::kStart, 10000, 1});
    relay.OnNote({MotionEventNote::Kind::kEnd, 11000, 9});
    parts.calls->RunPosted();
    relay.OnArchiveStarted("/rec/b.CNA");
    relay.OnArchiveStarted("/rec/c.CNA");
    // Named before its start is seen.
    relay.OnArchiveStarted("/rec/d.CNA");
    relay.OnNote({MotionEventNote::Kind::kStart, 12000, 1});
    relay.OnNote({MotionEventNote::Kind::kEnd, 13000, 2});
    // An archive that never opens (a failing disk): told as it is at the end.
    relay.OnNote({MotionEventNote::Kind::kStart, 14000, 1});
    relay.OnNote({MotionEventNote::Kind::kEnd, 15000, 5});
    parts.calls->RunPosted();
    EXPECT_EQ(told.size(), 8u) << "the last event waits for its archive";
    relay.FinishCommands();

    const std::vector<std::string> expected = {"start /rec/a.CNA 1000",  "end /rec/a.CNA 5000",
                                               "start /rec/b.CNA 7000",  "end /rec/b.CNA 9000",
                                               "start /rec/c.CNA 10000", "end /rec/c.CNA 11000",
                                               "start /rec/d.CNA 12000", "end /rec/d.CNA 13000",
                                               "start  14000",           "end  15000"};
    EXPECT_EQ(expected, told);
    const std::vector<std::string> expected_listed = {"/rec/a.CNA 1000-5000 peak 40", "/rec/b.CNA 7000-9000 peak 8",
                                                      "/rec/c.CNA 10000-11000 peak 9", "/rec/d.CNA 12000-13000 peak 2",
                                                      " 14000-15000 peak 5"};
    EXPECT_EQ(expected_listed, listed);
}
