// Dialogs whose texts wrap, on the test's screen: every line of every text shows.
#include <gtest/gtest.h>
#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QSpinBox>

#include "app/motion_events_dlg.h"
#include "support/wait.h"

namespace {

// The labels whose wrapped text is cut: shorter than their text needs at their width.
QStringList CutTexts(const QWidget& dialog) {
    QStringList cut;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty()) continue;
        const int needed_px = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
        if (label->height() < needed_px || label->width() < label->minimumSizeHint().width()) cut << label->text();
    }
    return cut;
}

}  // namespace

TEST(DialogTexts, MotionEventsGrowsWithItsNotesInsideTheScreen) {
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    MotionEventChoices choices;
    choices.pre_roll_s = 0;
    CMotionEventsDlg dialog(choices, 640, 480, CFramePipeline::PreRollStatus{}, nullptr);
    dialog.show();
    ASSERT_TRUE(WaitUntil([&] { return dialog.isVisible(); }));
    QApplication::processEvents();
    EXPECT_EQ("", CutTexts(dialog).join(" | ").toStdString()) << "without a pre-roll";
    // The pre-roll's note grows by a sentence or two while the dialog is open.
    dialog.PreRoll()->setValue(5);
    QApplication::processEvents();
    EXPECT_EQ("", CutTexts(dialog).join(" | ").toStdString()) << "with a pre-roll";
    EXPECT_TRUE(available.contains(dialog.frameGeometry()));

    choices.pre_roll_s = 30;
    CMotionEventsDlg shortened(choices, 1920, 1080, CFramePipeline::PreRollStatus{1500, 1, true}, nullptr);
    shortened.show();
    ASSERT_TRUE(WaitUntil([&] { return shortened.isVisible(); }));
    QApplication::processEvents();
    EXPECT_EQ("", CutTexts(shortened).join(" | ").toStdString()) << "with a pre-roll the memory shortens";
    EXPECT_TRUE(available.contains(shortened.frameGeometry()));
}
