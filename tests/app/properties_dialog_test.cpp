// The Properties dialog on test cameras: listing, preselection, OK, the empty-camera
// question, and the settings that change at once and survive Cancel.
#include <gtest/gtest.h>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

#include "app_test_support.h"
#include "capture_ui/twain_sources_dlg.h"
#include "capture_ui/wnd_pick_color.h"

namespace {

constexpr const char* kCameras =
    "Test Camera=videotestsrc is-live=true;Hall Camera=videotestsrc pattern=ball;Hall Camera=videotestsrc";

class PropertiesDialogTest : public ::testing::Test {
protected:
    ScopedEnvironment cameras_{"CINDRAL_TEST_CAMERAS", kCameras};
    QWidget parent_;
    CindralSettings settings_;
    CTwainSourcesDlg dialog_{&parent_, settings_};

    // Shows the dialog, lets the handler act on it, and returns the exec result.
    int Run(const std::function<void(CTwainSourcesDlg&)>& act) {
        bool acted = false;
        ModalWatcher watcher([&](QWidget* modal) {
            if (modal != &dialog_ || acted) return;
            acted = true;
            act(dialog_);
        });
        return dialog_.exec();
    }
};

}  // namespace

TEST_F(PropertiesDialogTest, ListsCamerasAfreshAndPreselectsTheStoredNameInAnyCase) {
    settings_.camera_name = "hall CAMERA";
    int result = Run([](CTwainSourcesDlg& dialog) {
        QComboBox* list = dialog.CameraList();
        EXPECT_GE(list->findText("Test Camera", Qt::MatchExactly), 0);
        EXPECT_EQ(list->currentText(), QString("Hall Camera"));
        EXPECT_TRUE(dialog.OkButton()->isEnabled());
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(settings_.camera_name, "Hall Camera");  // the device's exact name

    // Duplicates stay in the list; the list is built anew, not appended to.
    result = Run([](CTwainSourcesDlg& dialog) {
        QComboBox* list = dialog.CameraList();
        int hall_entries = 0;
        for (int row = 0; row < list->count(); ++row) hall_entries += list->itemText(row) == "Hall Camera";
        EXPECT_EQ(hall_entries, 2);
        list->setCurrentIndex(list->findText("Hall Camera") + 1);  // the second entry
        dialog.OnOK();
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(settings_.camera_name, "Hall Camera");
}

TEST_F(PropertiesDialogTest, AFirstStartWithOneCameraPreselectsIt) {
    dialog_.SetCameraLister([] { return std::vector<std::string>{"Only Camera"}; });
    dialog_.OnInitDialog();
    EXPECT_EQ(dialog_.CameraList()->currentText(), "Only Camera");
    EXPECT_TRUE(dialog_.OkButton()->isEnabled());
    // With two, the choice stays the user's.
    dialog_.SetCameraLister([] { return std::vector<std::string>{"One", "Two"}; });
    dialog_.OnInitDialog();
    EXPECT_EQ(dialog_.CameraList()->currentIndex(), -1);
}

TEST_F(PropertiesDialogTest, AnEmptyCameraBoxSaysNoCameraFoundUntilCamerasComeAndOkStillGoesOn) {
    dialog_.SetCameraLister([] { return std::vector<std::string>{}; });
    dialog_.OnInitDialog();
    EXPECT_EQ(dialog_.CameraList()->count(), 0);
    EXPECT_EQ(dialog_.CameraList()->placeholderText(), "No camera found");
    EXPECT_TRUE(dialog_.OkButton()->isEnabled());
    // Cameras come, none is picked yet: the box is blank, not "No camera found".
    dialog_.SetCameraLister([] { return std::vector<std::string>{"One", "Two"}; });
    dialog_.OnInitDialog();
    EXPECT_EQ(dialog_.CameraList()->currentIndex(), -1);
    EXPECT_EQ(dialog_.CameraList()->placeholderText(), "");
}

TEST_F(PropertiesDialogTest, UnknownNameSelectsNothingAndOkFollowsTheSelection) {
    settings_.camera_name = "Gone Camera";
    const int result = Run([](CTwainSourcesDlg& dialog) {
        EXPECT_EQ(dialog.CameraList()->currentIndex(), -1);
        EXPECT_FALSE(dialog.OkButton()->isEnabled());
        // Picking a camera with the keyboard enables OK.
        dialog.CameraList()->setFocus();
        QTest::keyClick(dialog.CameraList(), Qt::Key_Down);
        EXPECT_GE(dialog.CameraList()->currentIndex(), 0);
        EXPECT_TRUE(dialog.OkButton()->isEnabled());
        dialog.reject();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(settings_.camera_name, "Gone Camera");  // the camera changes on OK only
}

TEST_F(PropertiesDialogTest, OkWithoutCameraAsksAndStoresAnEmptyNameOnlyOnYes) {
    settings_.camera_name = "Gone Camera";
    std::vector<QString> questions;
    QMessageBox::StandardButton answer = QMessageBox::No;
    ModalWatcher question_watcher([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) return;
        questions.push_back(box->windowTitle() + "|" + box->text());
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        box->button(answer)->click();
    });

    bool still_open_after_no = false;
    const int result = Run([&](CTwainSourcesDlg& dialog) {
        // Enter reaches OK although the button is disabled.
        QTest::keyClick(&dialog, Qt::Key_Return);
        WaitUntil([&] { return questions.size() == 1; });
        still_open_after_no = dialog.isVisible();
        answer = QMessageBox::Yes;
        dialog.OnOK();
    });
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0], "Warning|Camera Direct Show Source was not selected. Continue anyway?");
    EXPECT_TRUE(still_open_after_no);
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(settings_.camera_name, "");
}

TEST_F(PropertiesDialogTest, DetectorSettingsChangeAtOnceAndSurviveCancel) {
    settings_.camera_name = "Test Camera";
    settings_.saving_mode = 3;  // outside the three modes
    settings_.show_detector = 0;
    settings_.threshold = 500;  // used unchanged until the slider moves
    settings_.detector_colour = 0;

    const int result = Run([&](CTwainSourcesDlg& dialog) {
        for (int mode = 0; mode < 3; ++mode) EXPECT_FALSE(dialog.SavingButton(mode)->isChecked()) << mode;
        EXPECT_EQ(settings_.threshold.load(), 500);
        EXPECT_EQ(dialog.ThresholdSlider()->value(), CTwainSourcesDlg::kThresholdMax);

        QTest::mouseClick(dialog.SavingButton(kSavingAlways), Qt::LeftButton);
        EXPECT_EQ(settings_.saving_mode.load(), kSavingAlways);
        QTest::mouseClick(dialog.SavingButton(kSavingMotionDetector), Qt::LeftButton);
        EXPECT_EQ(settings_.saving_mode.load(), kSavingMotionDetector);

        QTest::mouseClick(dialog.ShowDetectorBox(), Qt::LeftButton);
        EXPECT_EQ(settings_.show_detector.load(), 1);
        EXPECT_TRUE(dialog.ShowDetectorBox()->isChecked());

        // The slider's smallest position is 1, never 0.
        dialog.ThresholdSlider()->setFocus();
        QTest::keyClick(dialog.ThresholdSlider(), Qt::Key_Home);
        EXPECT_EQ(settings_.threshold.load(), 1);
        QTest::keyClick(dialog.ThresholdSlider(), Qt::Key_Right);
        EXPECT_EQ(settings_.threshold.load(), 2);

        EXPECT_EQ(dialog.ColourSwatch()->GetColorPtr(), &settings_.detector_colour);
        QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(settings_.saving_mode.load(), kSavingMotionDetector);
    EXPECT_EQ(settings_.show_detector.load(), 1);
    EXPECT_EQ(settings_.threshold.load(), 2);

    // The next showing reflects the settings as they are now.
    Run([&](CTwainSourcesDlg& dialog) {
        EXPECT_TRUE(dialog.SavingButton(kSavingMotionDetector)->isChecked());
        EXPECT_TRUE(dialog.ShowDetectorBox()->isChecked());
        EXPECT_EQ(dialog.ThresholdSlider()->value(), 2);
        dialog.reject();
    });
}

TEST_F(PropertiesDialogTest, ControlsFollowTheTemplateLayoutAndTabOrder) {
    dialog_.OnInitDialog();
    // Positions are in dialog units: OK (168,108) sits left of Cancel (228,108) on one row,
    // and the Saving radio buttons stack in the left column above the camera list.
    const QRect ok = dialog_.OkButton()->geometry();
    const QRect cancel = dialog_.CancelButton()->geometry();
    EXPECT_EQ(ok.top(), cancel.top());
    EXPECT_LT(ok.right(), cancel.left());
    EXPECT_EQ(ok.size(), cancel.size());
    EXPECT_LT(dialog_.SavingButton(0)->geometry().top(), dialog_.SavingButton(1)->geometry().top());
    EXPECT_LT(dialog_.SavingButton(1)->geometry().top(), dialog_.SavingButton(2)->geometry().top());
    EXPECT_LT(dialog_.SavingButton(2)->geometry().bottom(), dialog_.CameraList()->geometry().top());
    EXPECT_TRUE(dialog_.rect().contains(cancel));
    EXPECT_LT(dialog_.ColourSwatch()->geometry().left(), dialog_.ThresholdSlider()->geometry().right());

    // Tab order is template order: OK, camera, Cancel, the Saving group (entered at its checked
    // button, or the first when none is), Show Detector, the colour swatch, slider.
    auto next_tab_stop = [](const QWidget* widget) {
        QWidget* next = widget->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
        return next;
    };
    for (const int mode : {int{kSavingOff}, int{kSavingMotionDetector}, int{kSavingAlways}, 3}) {
        settings_.saving_mode = mode;
        dialog_.OnInitDialog();
        const QWidget* expected[] = {dialog_.OkButton(),        dialog_.CameraList(),
                                     dialog_.CancelButton(),    dialog_.SavingButton(mode == 3 ? kSavingOff : mode),
                                     dialog_.ShowDetectorBox(), dialog_.ColourSwatch(),
                                     dialog_.ThresholdSlider(), dialog_.OkButton()};
        for (size_t index = 0; index + 1 < std::size(expected); ++index)
            EXPECT_EQ(next_tab_stop(expected[index]), expected[index + 1]) << mode << " " << index;
    }
}

TEST_F(PropertiesDialogTest, SpaceKeepsTheCheckedModeAndArrowsMoveTheTabStop) {
    settings_.saving_mode = kSavingMotionDetector;
    Run([&](CTwainSourcesDlg& dialog) {
        dialog.activateWindow();  // the arrow keys act on the application's focus
        EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
        dialog.SavingButton(kSavingMotionDetector)->setFocus();
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Space);
        EXPECT_EQ(settings_.saving_mode.load(), kSavingMotionDetector);
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Down);
        EXPECT_EQ(settings_.saving_mode.load(), kSavingAlways);
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Backtab);
        EXPECT_EQ(dialog.focusWidget(), dialog.SavingButton(kSavingAlways));
        dialog.reject();
    });
}
