// The program on a small screen (and on a large one at twice the scale): every window it
// opens lies inside the screen's available area, the main window restores inside it, and
// a dialog shown before the main window is centred.
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "app/app_test_support.h"
#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/screen_fit.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/date_range_dlg.h"
#include "archive_ui/panel_dlg.h"
#include "capture/dialogs/twain_sources_dlg.h"
#include "platform/key_store.h"
#include "recording/frame_archive.h"
#include "recording/settings_store.h"

namespace {

constexpr const char* kCameras =
    "Green Camera=videotestsrc pattern=green is-live=true ! "
    "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=15/1\"";

QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

// Where each window was when the user first saw it.
struct Seen {
    QString title;
    QRect frame;
};

class WindowFitTest : public ::testing::Test {
protected:
    ScopedEnvironment cameras_{"CINDRAL_TEST_CAMERAS", kCameras};
    TempFolder folder_;

    std::unique_ptr<CCindralApp> MakeApp() {
        return std::make_unique<CCindralApp>(QString::fromStdString(folder_.Folder()), folder_.Path() / "Cindral.reg");
    }
    void StoreCamera() {
        CKeyStore store(folder_.Path() / "Cindral.reg");
        CindralSettings settings;
        LoadSettings(store, settings);
        settings.camera_name = "Green Camera";
        SaveSettings(store, settings);
    }
    void RecordArchives(int count) {
        BMP_File frame;
        frame.Create(64, 48);
        for (int i = 0; i < count; ++i) {
            CFrameArchive writer(folder_.Folder());
            for (int j = 0; j < 3; ++j) ASSERT_TRUE(writer.WriteFrame(frame));
            ASSERT_TRUE(writer.CloseFile());
        }
    }
};

void ExpectOnScreen(const Seen& seen) {
    EXPECT_TRUE(Available().contains(seen.frame))
        << seen.title.toStdString() << ": frame " << seen.frame.x() << "," << seen.frame.y() << " "
        << seen.frame.width() << "x" << seen.frame.height() << " outside " << Available().width() << "x"
        << Available().height();
}

}  // namespace

TEST(ScreenFit, KeepInsideMovesAFrameOnAndKeepsTheTitleBarOfAnOversizedOne) {
    const QRect available(0, 0, 800, 600);
    EXPECT_EQ(CScreenFit::KeepInside(QRect(700, 550, 200, 100), available), QRect(600, 500, 200, 100));
    EXPECT_EQ(CScreenFit::KeepInside(QRect(-30, -20, 200, 100), available), QRect(0, 0, 200, 100));
    EXPECT_EQ(CScreenFit::KeepInside(QRect(100, 100, 1037, 700), available), QRect(0, 0, 1037, 700));
    const QRect restored = CScreenFit::RestoredGeometry(QRect(0, 0, 1280, 1024), QMargins(1, 20, 1, 1));
    EXPECT_EQ(restored.marginsAdded(QMargins(1, 20, 1, 1)), QRect(128, 102, 1024, 819));
}

TEST_F(WindowFitTest, FirstStartDialogIsCentredAndTheMainWindowRestoresInsideTheScreen) {
    auto app = MakeApp();
    std::optional<Seen> properties;
    ModalWatcher watcher([&](QWidget* modal) {
        auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal);
        if (dialog == nullptr) return;
        properties = Seen{dialog->windowTitle(), dialog->frameGeometry()};
        dialog->CameraList()->setCurrentIndex(0);
        dialog->UpdateOkButton();
        dialog->OnOK();
    });
    ASSERT_TRUE(app->InitInstance());
    ASSERT_TRUE(properties.has_value());
    ExpectOnScreen(*properties);
    EXPECT_LE((properties->frame.center() - Available().center()).manhattanLength(), 2);

    CMainFrame* frame = app->MainFrame();
    EXPECT_TRUE(frame->isMaximized());
    ExpectOnScreen({"maximised main window", frame->frameGeometry()});
    // Restored: four-fifths of the screen, centred, its frame on it.
    const QMargins margins = CScreenFit::EstimatedFrameMargins(*frame);
    const Seen restored{"restored main window", frame->normalGeometry().marginsAdded(margins)};
    ExpectOnScreen(restored);
    EXPECT_NEAR(restored.frame.width(), Available().width() * 0.8, 2);
    EXPECT_NEAR(restored.frame.height(), Available().height() * 0.8, 2);
    EXPECT_LE((restored.frame.center() - Available().center()).manhattanLength(), 2);
    frame->close();
}

TEST_F(WindowFitTest, EveryWindowOpensInsideTheScreen) {
    StoreCamera();
    RecordArchives(3);
    auto app = MakeApp();
    ASSERT_TRUE(app->InitInstance());
    CMainFrame* frame = app->MainFrame();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    CCindralView* view = frame->View();

    std::vector<Seen> seen;
    const std::string avi_path = folder_.File("whole.avi");
    ModalWatcher watcher([&](QWidget* modal) {
        seen.push_back({modal->windowTitle(), modal->frameGeometry()});
        if (auto* range = qobject_cast<CDateRangeDlg*>(modal)) {
            range->accept();
        } else if (auto* selection = qobject_cast<CArchiveDlg*>(modal)) {
            selection->ListControl()->selectAll();
            selection->accept();
        } else if (auto* save = qobject_cast<QFileDialog*>(modal)) {
            // The AVI is written, so its progress window shows too; the snapshot is cancelled.
            if (save->nameFilters().join(' ').contains("avi")) {
                save->selectFile(QString::fromStdString(avi_path));
                static_cast<QDialog*>(save)->accept();
            } else {
                save->reject();
            }
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        }
    });

    // "View Archive..." from the View menu's shortcut: range, selection, then the panel.
    QAction* view_archive = frame->CommandAction(CMainFrame::kCommandViewArchive);
    EXPECT_EQ(view_archive->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    QMenu* view_menu = frame->menuBar()->actions().at(1)->menu();
    ASSERT_NE(view_menu, nullptr);
    EXPECT_TRUE(view_menu->actions().contains(view_archive));
    QTest::keyClick(frame, Qt::Key_R, Qt::ControlModifier);
    CPanelDlg* panel = view->Panel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->Archives().size(), 3);
    QApplication::processEvents();
    seen.push_back({"playback panel", panel->frameGeometry()});

    panel->ShotButton()->click();
    panel->ConvertButton()->click();
    frame->OnProperties();
    frame->CommandAction(CMainFrame::kCommandAbout)->trigger();
    view->OnContextCommand(CCindralView::kCommandCameraPin);
    view->OnContextCommand(CCindralView::kCommandCameraFilter);

    QStringList titles;
    for (const Seen& window : seen) titles << window.title;
    for (const char* expected : {"Select Date Range...", "Select Archive", "playback panel", "Convert to AVI",
                                 "Properties...", "About Cindral", "Camera Pin", "Camera Filter"}) {
        EXPECT_TRUE(titles.contains(expected)) << expected << " not seen in " << titles.join(", ").toStdString();
    }
    EXPECT_GE(titles.size(), 10) << titles.join(", ").toStdString();  // two save dialogs as well
    for (const Seen& window : seen) ExpectOnScreen(window);
    frame->close();
}
