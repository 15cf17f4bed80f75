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

TEST(MotionEventRelay, AStartWaitsForItsArchiveAndAnEventWhoseArchiveNeverOpenedIsStillTold) {
    SessionParts parts;
    CMotionEventRelay relay(parts.recorder, *parts.calls, [] { return std::string("Test Camera"); });
    std::vector<std::string> told;
    QObject::connect(&relay, &CMotionEventRelay::MotionEvent, [&](bool is_start, const QString& path, qint64 wall_ms) {
        told.push_back((is_start ? "start " : "end ") + path.toStdString() + " " + std::to_string(wall_ms));
    });

    relay.OnNote({MotionEventNote::Kind::kStart, 1000});
    parts.calls->RunPosted();
    EXPECT_TRUE(told.empty()) << "told before its archive is known";
    relay.OnArchiveStarted("/rec/a.CNA");
    relay.OnNote({MotionEventNote::Kind::kEnd, 5000});
    relay.OnNote({MotionEventNote::Kind::kStart, 7000});
    relay.OnNote({MotionEventNote::Kind::kEnd, 9000});
    parts.calls->RunPosted();
    relay.OnArchiveStarted("/rec/b.CNA");  // outside an event: nobody's

    const std::vector<std::string> expected = {"start /rec/a.CNA 1000", "end /rec/a.CNA 5000", "start  7000",
                                               "end  9000"};
    EXPECT_EQ(expected, told);
}
