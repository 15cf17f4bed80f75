// The colour swatch: its chooser, the 16-bit packing on the way in and out, and the
// process-wide custom colours.
#include <gtest/gtest.h>
#include <QColorDialog>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

#include "app_test_support.h"
#include "capture_ui/wnd_pick_color.h"

namespace {

// Clicks the swatch and answers the chooser with the given colour (or cancels it);
// returns the colour the chooser opened on.
QColor ChooseThroughSwatch(CWndPickColor& swatch, std::optional<QColor> answer) {
    QColor initial;
    ModalWatcher watcher([&](QWidget* modal) {
        auto* chooser = qobject_cast<QColorDialog*>(modal);
        ASSERT_NE(chooser, nullptr);
        initial = chooser->currentColor();
        if (answer) {
            chooser->setCurrentColor(*answer);
            chooser->accept();
        } else {
            chooser->reject();
        }
    });
    QTest::mouseClick(&swatch, Qt::LeftButton, Qt::NoModifier, swatch.rect().center());
    return initial;
}

QColor PaintedCentre(CWndPickColor& swatch) {
    return swatch.grab().toImage().pixelColor(swatch.width() / 2, swatch.height() / 2);
}

}  // namespace

TEST(ColourSwatch, ChosenColoursArePackedIntoFiveBitsAChannel) {
    QWidget parent;
    CWndPickColor swatch(&parent);
    swatch.resize(30, 26);
    std::atomic<uint16_t> colour{0};
    swatch.SetColorPtr(&colour);
    parent.show();

    struct Case {
        QColor chosen;
        uint16_t stored;
        QColor painted;
    };
    const Case cases[] = {
        {QColor(255, 255, 255), 0xFBFF, QColor(248, 248, 248)},
        {QColor(255, 0, 0), 0xF800, QColor(248, 0, 0)},
        {QColor(128, 128, 128), 0x8210, QColor(128, 128, 128)},
        // the low three bits are dropped: 7 -> 0, 8 -> 8, 15 -> 8
        {QColor(7, 8, 15), static_cast<uint16_t>((0 << 11) | (1 << 5) | 1), QColor(0, 8, 8)},
    };
    QColor expected_initial(0, 0, 0);  // a stored 0 opens the chooser on black
    for (const Case& one : cases) {
        SCOPED_TRACE(one.chosen.name().toStdString());
        const QColor initial = ChooseThroughSwatch(swatch, one.chosen);
        EXPECT_EQ(initial.rgb(), expected_initial.rgb());
        EXPECT_EQ(colour.load(), one.stored);
        EXPECT_EQ((colour.load() >> 10) & 1, 0);
        EXPECT_EQ(PaintedCentre(swatch).rgb(), one.painted.rgb());
        expected_initial = one.painted;  // the next chooser opens on the widened stored colour
    }
}

TEST(ColourSwatch, CancelLeavesTheColourAndAMissingPointerIgnoresClicks) {
    QWidget parent;
    CWndPickColor swatch(&parent);
    swatch.resize(30, 26);
    std::atomic<uint16_t> colour{0xF800};
    swatch.SetColorPtr(&colour);
    parent.show();

    ChooseThroughSwatch(swatch, std::nullopt);
    EXPECT_EQ(colour.load(), 0xF800);
    EXPECT_EQ(PaintedCentre(swatch).rgb(), QColor(248, 0, 0).rgb());

    // Without a colour the click opens nothing at all.
    swatch.SetColorPtr(nullptr);
    int chooser_count = 0;
    {
        ModalWatcher watcher([&](QWidget* modal) {
            ++chooser_count;
            qobject_cast<QDialog*>(modal)->reject();
        });
        QTest::mouseClick(&swatch, Qt::LeftButton, Qt::NoModifier, swatch.rect().center());
        QApplication::processEvents();
    }
    EXPECT_EQ(chooser_count, 0);
}

TEST(ColourSwatch, TheKeyboardReachesItSeesItsFocusAndOpensTheChooser) {
    QWidget parent;
    auto* before = new QPushButton("before", &parent);
    auto* swatch = new CWndPickColor(&parent);
    swatch->setGeometry(0, 40, 30, 26);
    std::atomic<uint16_t> colour{0};
    swatch->SetColorPtr(&colour);
    parent.show();
    parent.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&parent));
    before->setFocus();
    const QImage unfocused = swatch->grab().toImage();
    QTest::keyClick(before, Qt::Key_Tab);
    ASSERT_TRUE(swatch->hasFocus());
    // The mark lies around the swatch, not on its black: a line along its edges.
    const QImage focused = swatch->grab().toImage();
    const QRect swatch_frame = swatch->frameRect();
    int changed_outside = 0;
    int changed_inside = 0;
    for (int y = 0; y < focused.height(); ++y) {
        for (int x = 0; x < focused.width(); ++x) {
            if (focused.pixel(x, y) == unfocused.pixel(x, y)) continue;
            ++(swatch_frame.contains(x, y) ? changed_inside : changed_outside);
        }
    }
    EXPECT_EQ(changed_inside, 0);
    EXPECT_GE(changed_outside, swatch_frame.width() + swatch_frame.height()) << "the focus shows";

    int chooser_count = 0;
    ModalWatcher watcher([&](QWidget* modal) {
        auto* chooser = qobject_cast<QColorDialog*>(modal);
        ASSERT_NE(chooser, nullptr);
        ++chooser_count;
        chooser->setCurrentColor(chooser_count == 1 ? QColor(255, 0, 0) : QColor(0, 0, 255));
        chooser->accept();
    });
    QTest::keyClick(swatch, Qt::Key_Space);
    EXPECT_EQ(colour.load(), 0xF800);
    QTest::keyClick(swatch, Qt::Key_Return);
    EXPECT_EQ(colour.load(), 0x001F);
    EXPECT_EQ(chooser_count, 2);
}

TEST(ColourSwatch, CustomColoursStartFromTheTableAndKeepEditsForTheProcess) {
    QWidget parent;
    CWndPickColor swatch(&parent);
    // Red climbs 115..247 in steps of 12 with blue 255, then blue falls with red 255.
    for (int index = 0; index < 12; ++index)
        EXPECT_EQ(QColorDialog::customColor(index).rgb(), QColor(115 + 12 * index, 0, 255).rgb()) << index;
    EXPECT_EQ(QColorDialog::customColor(12).rgb(), QColor(255, 0, 251).rgb());
    EXPECT_EQ(QColorDialog::customColor(15).rgb(), QColor(255, 0, 209).rgb());

    // An edit made in one chooser survives a second swatch: the table is set up only once.
    const QColor kept = QColorDialog::customColor(3);
    QColorDialog::setCustomColor(3, QColor(1, 2, 3));
    CWndPickColor second_swatch(&parent);
    EXPECT_EQ(QColorDialog::customColor(3).rgb(), QColor(1, 2, 3).rgb());
    QColorDialog::setCustomColor(3, kept);
}
