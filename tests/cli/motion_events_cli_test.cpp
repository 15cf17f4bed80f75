// One run of `record` with every motion event option, then `detect` over what it recorded.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/files.h"
#include "support/temp_folder.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFrames = 70;

// A noisy still scene; an LED blinking in the top right corner all along (masked); an object
// that enters at frame 10, pauses from 20 to 29 and has left at 37; the light brighter from 60.
void WriteClip(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    uint32_t noise = 99;
    for (int frame = 0; frame < kFrames; ++frame) {
        int object_x = -100;
        if (frame >= 10 && frame <= 19) object_x = 4 * (frame - 10) - 4;
        if (frame >= 20 && frame <= 29) object_x = 32;
        if (frame >= 30) object_x = 32 + 4 * (frame - 29);
        const int background = frame >= 60 ? 160 : 80;
        std::vector<uint8_t> bytes(static_cast<size_t>(kWidth) * kHeight * 4);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                noise = noise * 1103515245u + 12345u;
                int value = background + static_cast<int>((noise >> 16) % 7) - 3;
                if (x >= object_x && x < object_x + 8 && y >= 20 && y < 28) value = 220;
                if (x >= 56 && y < 8 && frame % 2 == 1) value = 250;
                uint8_t* pixel = &bytes[(static_cast<size_t>(y) * kWidth + x) * 4];
                pixel[0] = pixel[1] = pixel[2] = static_cast<uint8_t>(value);
                pixel[3] = 255;
            }
        }
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
}

TEST(MotionEventsCliTest, RecordWithEveryOptionThenDetectFindsTheSameEvent) {
    TempFolder folder;
    WriteClip(folder.File("clip.raw"));
    // The mask at a quarter of the frame's size: its top right 2x2 pixels cover the LED.
    QImage mask(16, 12, QImage::Format_RGB32);
    mask.fill(Qt::black);
    for (int y = 0; y < 2; ++y) {
        for (int x = 14; x < 16; ++x) mask.setPixel(x, y, qRgb(255, 255, 255));
    }
    ASSERT_TRUE(mask.save(QString::fromStdString(folder.File("mask.png"))));
    const std::string events_file = folder.File("events.txt");
    const std::vector<std::string> detector = {
        "--pre-roll",        "1", "--post-roll",    "1",  "--min-blocks", "2",
        "--frames-in-a-row", "2", "--light-change", "60", "--mask",       folder.File("mask.png")};
    std::vector<std::string> record = {
        "record",
        "--storage",
        folder.File("rec"),
        "--mode",
        "motion",
        "--frames",
        std::to_string(kFrames),
        "--source",
        "filesrc location=" + folder.File("clip.raw") +
            " ! rawvideoparse format=bgrx width=64 height=48 "
            "framerate=20/1 ! identity sync=true",  // paced: the rolls are timed by the frames' arrival
        "--on-event",
        "echo \"$CINDRAL_EVENT|$CINDRAL_ARCHIVE|$CINDRAL_CAMERA|$CINDRAL_TIME\" >> " + ShellQuote(events_file)};
    record.insert(record.end(), detector.begin(), detector.end());
    const CommandResult recording = RunCli(record);
    const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(recording.out)).object();
    ASSERT_EQ(0, recording.exit_code) << recording.err;
    EXPECT_EQ(kFrames, summary["frames"].toInt());
    // One event: the pause is shorter than the post-roll, the LED is masked, the light change is no motion.
    EXPECT_EQ(1, summary["events"].toInt());
    ASSERT_EQ(1, summary["archives"].toArray().size());
    const std::string archive = summary["archives"].toArray()[0].toString().toStdString();
    // The second before the object came (frames 0 to 9), then to about a second after it left (57).
    const int recorded = summary["recorded"].toInt();
    EXPECT_GE(recorded, 55);
    EXPECT_LE(recorded, 60);

    std::istringstream lines(ReadWholeFile(events_file));
    std::string start, end;
    std::getline(lines, start);
    std::getline(lines, end);
    EXPECT_EQ(0u, start.rfind("start|" + archive + "|cindral-cli source|", 0)) << start;
    EXPECT_EQ(0u, end.rfind("end|" + archive + "|cindral-cli source|", 0)) << end;

    std::vector<std::string> detect = {"detect", archive, "--json"};
    detect.insert(detect.end(), detector.begin(), detector.end());
    const CommandResult detection = RunCli(detect);
    const QJsonObject found = QJsonDocument::fromJson(QByteArray::fromStdString(detection.out)).object();
    ASSERT_EQ(0, detection.exit_code) << detection.err;
    const QJsonArray events = found["archives"].toArray()[0].toObject()["events"].toArray();
    ASSERT_EQ(1, events.size());
    const QJsonObject event = events[0].toObject();
    // Stamps count the milliseconds from the first frame seen in each second, so those before
    // the first change of second may lie up to a second early: frames near the start of the
    // pre-roll may fall out of it here. The held frames still begin the event.
    EXPECT_LT(event["first_frame"].toInt(), 10);
    EXPECT_EQ(11, event["motion_frame"].toInt());  // the second moving frame in a row
    // The post-roll is timed by the stored stamps here, by the frames' arrival there: a frame on
    // its edge may fall either side.
    EXPECT_NEAR(recorded - 1, event["last_frame"].toInt(), 1);
    EXPECT_GE(event["peak_blocks"].toInt(), 2);

    // The events database, made from the archives, lists the same event; a damaged one is set
    // aside and made again.
    const std::string storage = folder.File("rec");
    std::filesystem::create_directory(folder.File("empty"));
    EXPECT_NE(RunCli({"events", "--storage", folder.File("empty")}).err.find("detect --index"), std::string::npos);
    // The recording listed its event as it ended.
    const CommandResult live = RunCli({"events", "--storage", storage, "--json"});
    ASSERT_EQ(0, live.exit_code) << live.err;
    const QJsonArray live_rows = QJsonDocument::fromJson(QByteArray::fromStdString(live.out)).array();
    ASSERT_EQ(1, live_rows.size()) << live.out;
    EXPECT_EQ(std::filesystem::path(archive).filename().string(),
              std::filesystem::path(live_rows[0].toObject()["archive"].toString().toStdString()).filename().string());
    EXPECT_LE(live_rows[0].toObject()["start"].toString(), live_rows[0].toObject()["end"].toString());
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::string> index = {"detect", "--index", storage};
        index.insert(index.end(), detector.begin(), detector.end());
        const CommandResult indexed = RunCli(index);
        ASSERT_EQ(0, indexed.exit_code) << indexed.err;
        EXPECT_NE(indexed.out.find("1 events in 1 archives"), std::string::npos) << indexed.out;
        EXPECT_EQ(pass == 1, indexed.err.find("set aside") != std::string::npos) << indexed.err;
        const CommandResult listed = RunCli({"events", "--storage", storage, "--json"});
        ASSERT_EQ(0, listed.exit_code) << listed.err;
        const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(listed.out)).array();
        ASSERT_EQ(1, rows.size()) << listed.out;
        const QJsonObject row = rows[0].toObject();
        EXPECT_EQ(std::filesystem::path(archive).parent_path().filename().string() + "/" +
                      std::filesystem::path(archive).filename().string(),
                  row["archive"].toString().toStdString());
        EXPECT_EQ("motion", row["label"].toString());
        EXPECT_EQ(event["motion_frame"].toInt(), row["best_frame"].toInt());
        EXPECT_EQ(event["first_time"].toString(), row["start"].toString());
        std::filesystem::remove(storage + "/Cindral Events.sqlite-wal");
        std::ofstream(storage + "/Cindral Events.sqlite", std::ios::trunc) << std::string(8192, 'x');
    }
}

}  // namespace
