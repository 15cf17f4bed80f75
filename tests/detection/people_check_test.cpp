#include "detection/people_check.h"

#include <gtest/gtest.h>

#include <QImage>
#include <string>

namespace {

const std::string kPictures = "/usr/share/doc/opencv-doc/examples/data/";

QImage Lightness(const std::string& name) {
    QImage image(QString::fromStdString(kPictures + name));
    return image.convertToFormat(QImage::Format_Grayscale8);
}

// The moving blocks of a rectangle of pixels.
std::vector<uint32_t> BlocksOf(const PixelRect& rect, int32_t blocks_across) {
    std::vector<uint32_t> blocks;
    for (int32_t y = rect.y / 4; y < (rect.y + rect.height + 3) / 4; ++y) {
        for (int32_t x = rect.x / 4; x < (rect.x + rect.width + 3) / 4; ++x)
            blocks.push_back(static_cast<uint32_t>(y * blocks_across + x));
    }
    return blocks;
}

TEST(PeopleCheck, TheRegionIsTheMotionWidenedByAQuarterWithinTheFrameAndTooSmallOnesAreSkipped) {
    // Blocks (10, 5) to (19, 24) of a 640x480 frame: pixels 40..80 across, 20..100 down.
    const std::vector<uint32_t> moving = BlocksOf(PixelRect{40, 20, 40, 80}, 160);
    EXPECT_EQ(LookRegion(moving, 160, 640, 480), (PixelRect{30, 0, 60, 120}));  // clipped at the top
    EXPECT_TRUE(LookRegion({}, 160, 640, 480).IsEmpty());
    EXPECT_DOUBLE_EQ(LookScale(480), 0.5);
    EXPECT_DOUBLE_EQ(LookScale(120), 2.0);
    EXPECT_EQ(LookScale(119), 0.0);
}

TEST(PeopleCheck, APersonIsSeenOnlyWhenTheMedianOfThreeChecksReachesTheThreshold) {
    CPersonConfirmation confirmation(0.5);
    EXPECT_FALSE(confirmation.Add(2.0));  // one check decides nothing
    EXPECT_FALSE(confirmation.Add(0.0));
    EXPECT_FALSE(confirmation.Add(0.0));  // a stray hit on leaves: median 0
    EXPECT_FALSE(confirmation.Add(0.9));
    EXPECT_TRUE(confirmation.Add(0.7));  // two of the last three
    EXPECT_TRUE(confirmation.Add(0.0));  // one miss (the person turned) keeps it
    EXPECT_FALSE(confirmation.Add(0.0));
    confirmation.Reset();
    EXPECT_FALSE(confirmation.Add(1.0));
}

TEST(PeopleCheck, OnlyPeopleOverMovingBlocksCount) {
    const std::vector<PersonFound> found = {{PixelRect{0, 0, 64, 128}, 1.5}, {PixelRect{200, 100, 64, 128}, 0.8}};
    EXPECT_DOUBLE_EQ(BestScoreOverMotion(found, BlocksOf(PixelRect{220, 150, 8, 8}, 160), 160), 0.8);
    EXPECT_DOUBLE_EQ(BestScoreOverMotion(found, BlocksOf(PixelRect{400, 400, 8, 8}, 160), 160), 0.0);
}

// Photographs: players on a court are found where they stand; a house and a building, which
// fool a motion detector with their edges and light, hold nobody.
TEST(PeopleCheck, PeopleInPhotographsAreFoundAndNobodyInHousesAndBuildings) {
    CPeopleDetector detector;
    ASSERT_TRUE(detector.IsReady()) << detector.Error();
    const QImage players = Lightness("basketball1.png");
    ASSERT_FALSE(players.isNull()) << "opencv-doc's pictures are missing";
    // The player on the left, as his moving blocks would show him.
    const std::vector<uint32_t> moving = BlocksOf(PixelRect{36, 80, 128, 400}, players.width() / 4);
    const PixelRect region = LookRegion(moving, players.width() / 4, players.width(), players.height());
    const std::vector<PersonFound> found =
        detector.Find(players.constBits(), players.width(), players.height(), players.bytesPerLine(), region);
    ASSERT_TRUE(detector.IsReady()) << detector.Error();
    ASSERT_FALSE(found.empty());
    double best = 0.0;
    for (const PersonFound& person : found) {
        best = std::max(best, person.score);
        EXPECT_GE(person.box.x, 0);
        EXPECT_LE(person.box.x + person.box.width, players.width() + 8);
    }
    EXPECT_GE(best, kPersonThreshold);

    for (const char* name : {"home.jpg", "building.jpg"}) {
        const QImage still = Lightness(name);
        ASSERT_FALSE(still.isNull()) << name;
        const std::vector<PersonFound> none =
            detector.Find(still.constBits(), still.width(), still.height(), still.bytesPerLine(),
                          {0, 0, still.width(), still.height()});
        double strongest = 0.0;
        for (const PersonFound& person : none) strongest = std::max(strongest, person.score);
        EXPECT_LT(strongest, kPersonThreshold) << name;
    }
}

}  // namespace
