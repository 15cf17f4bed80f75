// The live window's own commands as a user finds them: "Snapshot" (Ctrl+S) and the camera's
// pages in the View menu, the save dialog's suggestion, and a narrow window's status bar.
#include <gtest/gtest.h>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>

#include "app/app_test_support.h"
#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/session_state_pane.h"
#include "archive_ui/export_actions.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"
#include "storage/storage_settings.h"
#include "support/files.h"
#include "support/temp_folder.h"

TEST(LiveCommands, SnapshotSavesThePictureOnShowAndANarrowWindowKeepsTheStateWhole) {
    ScopedEnvironment cameras("CINDRAL_TEST_CAMERAS",
                              "Green Camera=videotestsrc pattern=green is-live=true ! "
                              "capsfilter caps=video/x-raw,width=160,height=120,framerate=15/1");
    TempFolder folder;
    const auto settings_file = folder.Path() / "Cindral.reg";
    {
        // Recordings are to go below a plain file: the state pane then has its longest text.
        WriteWholeFile(folder.File("blocker"), "not a folder");
        CKeyStore store(settings_file);
        CindralSettings settings;
        settings.camera_name = "Green Camera";
        SaveSettings(store, settings);
        StorageSettings storage;
        storage.chosen_folder = folder.File("blocker") + "/Storage/";
        SaveStorageSettings(store, storage);
    }
    CCindralApp app(QString::fromStdString(folder.Folder()), settings_file);
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    ASSERT_TRUE(WaitUntil([&] { return frame->View()->PresentedFrameCount() > 0; }));

    // The View menu holds the snapshot and the camera's pages as well as the context menu (which
    // the window-fit test opens them from).
    const QList<QAction*> view_menu = frame->menuBar()->actions().at(1)->menu()->actions();
    for (const int command :
         {CMainFrame::kCommandSnapshot, CMainFrame::kCommandCameraPin, CMainFrame::kCommandCameraFilter})
        EXPECT_TRUE(view_menu.contains(frame->CommandAction(command))) << command;
    {
        QString opened;
        ModalWatcher page(
            [&](QWidget* modal) { opened = modal->windowTitle(), qobject_cast<QDialog*>(modal)->reject(); });
        frame->CommandAction(CMainFrame::kCommandCameraFilter)->trigger();
        EXPECT_EQ(opened, "Camera Filter");
    }
    // Ctrl+S: the pictures folder, a name of this moment, then a JPEG of the green picture.
    const QString target = QString::fromStdString(folder.File("door.jpg"));
    QString suggested_folder;
    QString suggested_name;
    ModalWatcher save([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (dialog == nullptr) return;
        suggested_folder = dialog->directory().absolutePath();
        suggested_name = dialog->selectedFiles().value(0);
        dialog->selectFile(target);
        static_cast<QDialog*>(dialog)->accept();
    });
    frame->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == frame; }));
    QTest::keyClick(frame, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(suggested_folder, ExportFolders().pictures);
    EXPECT_TRUE(QRegularExpression("/Cindral \\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d\\.jpg$")
                    .match(suggested_name)
                    .hasMatch())
        << suggested_name.toStdString();
    const QImage saved(target, "JPEG");
    ASSERT_EQ(saved.size(), QSize(160, 120));
    EXPECT_TRUE(IsNear(saved.pixelColor(80, 60), QColor(0, 255, 0), 40));

    // 420 pixels wide: the lock indicators give way, the state keeps its whole text.
    frame->Settings().saving_mode = kSavingAlways;
    frame->showNormal();
    frame->resize(420, 300);
    CSessionStatePane* pane = frame->StatePane();
    ASSERT_TRUE(WaitUntil([&] { return pane->IsShowingFailure(); })) << pane->text().toStdString();
    WaitUntil([] { return false; }, 100);
    EXPECT_GE(pane->width(), pane->fontMetrics().horizontalAdvance(pane->text()));
    for (QLabel* label : frame->statusBar()->findChildren<QLabel*>()) {
        if (label->text() == "CAP" || label->text() == "NUM" || label->text() == "SCRL") {
            EXPECT_FALSE(label->isVisible()) << label->text().toStdString();
        }
    }
    frame->resize(1200, 300);
    QApplication::processEvents();
    if (frame->width() >= 1000) {  // where the screen has the room
        for (QLabel* label : frame->statusBar()->findChildren<QLabel*>()) {
            if (label->text() == "CAP") {
                EXPECT_TRUE(label->isVisible());
            }
        }
    }
    frame->close();
}
