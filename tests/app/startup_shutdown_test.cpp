// The program as a whole on test cameras: the first-start Properties dialog, start-up,
// settings that act on the next frame, and the settings written at an orderly shutdown.
#include <gtest/gtest.h>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/session_state_pane.h"
#include "app_test_support.h"
#include "archive/archive_format.h"
#include "capture_ui/twain_sources_dlg.h"
#include "capture_ui/wnd_pick_color.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"

namespace {

constexpr const char* kCameras =
    "Green Camera=videotestsrc pattern=green is-live=true ! "
    "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=15/1\";"
    "Ball Camera=videotestsrc pattern=ball is-live=true ! "
    "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=15/1\"";

class StartupTest : public ::testing::Test {
protected:
    ScopedEnvironment cameras_{"CINDRAL_TEST_CAMERAS", kCameras};
    TempFolder folder_;
    std::filesystem::path settings_file_ = folder_.Path() / "config" / "Cindral.reg";
    // A portable set-up: recordings go to Storage beside the program.
    bool is_storage_made_ = std::filesystem::create_directory(folder_.Path() / "Storage");

    std::unique_ptr<CCindralApp> MakeApp() {
        return std::make_unique<CCindralApp>(QString::fromStdString(folder_.Folder()), settings_file_);
    }
    // The settings as the next start would read them.
    void ReadBack(CindralSettings& settings) {
        CKeyStore store(settings_file_);
        LoadSettings(store, settings);
    }
    void Store(const std::function<void(CindralSettings&)>& change) {
        CKeyStore store(settings_file_);
        CindralSettings settings;
        LoadSettings(store, settings);
        change(settings);
        SaveSettings(store, settings);
    }
};

QColor FindColour(const QImage& image, QColor wanted) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).rgb() == wanted.rgb()) return wanted;
    return QColor();
}

}  // namespace

TEST_F(StartupTest, FirstStartCancelEndsAfterTheMessageAndKeepsImmediateChanges) {
    auto app = MakeApp();
    bool frame_hidden_during_dialog = false;
    ModalWatcher watcher([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal)) {
            frame_hidden_during_dialog = app->MainFrame() != nullptr && !app->MainFrame()->isVisible();
            QTest::mouseClick(dialog->SavingButton(kSavingAlways), Qt::LeftButton);
            QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->accept();
        }
    });
    EXPECT_FALSE(app->InitInstance());
    EXPECT_EQ(app->MainFrame(), nullptr);
    EXPECT_TRUE(frame_hidden_during_dialog);
    ASSERT_EQ(watcher.Titles().size(), 2u);
    EXPECT_EQ(watcher.Titles()[0], QString("Properties..."));
    EXPECT_EQ(watcher.Texts()[1], QString("Failed to create empty document."));

    CindralSettings saved;
    ReadBack(saved);
    EXPECT_EQ(saved.saving_mode.load(), kSavingAlways);
    EXPECT_EQ(saved.camera_name, "");
}

TEST_F(StartupTest, FirstStartOkStartsTheCameraAndShutdownWritesTheNegotiatedSize) {
    auto app = MakeApp();
    ModalWatcher watcher([&](QWidget* modal) {
        auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal);
        if (dialog == nullptr) return;
        dialog->CameraList()->setCurrentIndex(dialog->CameraList()->findText("Green Camera"));
        dialog->UpdateOkButton();
        QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    });
    ASSERT_TRUE(app->InitInstance());
    CMainFrame* frame = app->MainFrame();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->isMaximized());
    EXPECT_EQ(frame->windowTitle(), QString("Cindral - www.tovamesh.example"));
    EXPECT_EQ(app->ProgramFolder(), folder_.Folder());

    // Tool bar: Properties, separator, archive, Storage, separator, About.
    QStringList buttons;
    for (QAction* action : frame->ToolBar()->actions())
        buttons << (action->isSeparator() ? QString("-") : QString::number(action->data().toInt()));
    EXPECT_EQ(buttons, QStringList({"1000", "-", "32773", "32777", "32775", "-", "57664"}));
    for (QAction* action : frame->ToolBar()->actions()) {
        if (!action->isSeparator()) {
            EXPECT_FALSE(action->icon().pixmap(16, 15).isNull());
        }
    }

    CCindralView* view = frame->View();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return view->PresentedFrameCount() >= 3; }));
    const QImage shown = view->grab().toImage();
    EXPECT_TRUE(IsNear(shown.pixelColor(shown.width() / 2, shown.height() / 2), QColor(0, 255, 0), 30));

    // The tool bar's third button runs the About box; it is one box for the whole run.
    {
        ModalWatcher about_watcher([](QWidget* modal) {
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->accept();
        });
        frame->CommandAction(CMainFrame::kCommandAbout)->trigger();
        CAboutDlg* first_box = app->AboutBox();
        ASSERT_NE(first_box, nullptr);
        EXPECT_EQ(first_box->windowTitle(), QString("About Cindral"));
        frame->CommandAction(CMainFrame::kCommandAbout)->trigger();
        EXPECT_EQ(app->AboutBox(), first_box);
        EXPECT_EQ(about_watcher.Titles(), std::vector<QString>({"About Cindral", "About Cindral"}));
    }

    // Ctrl+N and Ctrl+O bring up no second capture.
    CWebCameraDlg* capture = view->Capture();
    QTest::keyClick(frame, Qt::Key_N, Qt::ControlModifier);
    QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(frame->View()->Capture(), capture);

    frame->close();
    app.reset();
    CindralSettings saved;
    saved.frame_width = -1;
    ReadBack(saved);
    EXPECT_EQ(saved.camera_name, "Green Camera");
    EXPECT_EQ(saved.frame_width.load(), 160);    // the camera's, not the 640 x 480 asked for
    EXPECT_EQ(saved.frame_height.load(), -120);  // top row first
}

TEST_F(StartupTest, EmptyCameraAcceptedWithYesStartsWithoutCaptureAndAsksAgainNextTime) {
    std::vector<QString> messages;
    auto answer_all = [&](QWidget* modal) {
        if (auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal)) {
            dialog->OnOK();  // no camera selected: the question comes
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages.push_back(box->text());
            if (box->button(QMessageBox::Yes) != nullptr) {
                box->button(QMessageBox::Yes)->click();
            } else {
                box->accept();
            }
        }
    };
    {
        auto app = MakeApp();
        ModalWatcher watcher(answer_all);
        ASSERT_TRUE(app->InitInstance());
        EXPECT_TRUE(app->MainFrame()->isVisible());
        // The user has just chosen to go on without a camera: no second box says so again.
        ASSERT_TRUE(WaitUntil([&] { return app->MainFrame()->StatePane()->text() == "No camera"; }));
        WaitUntil([] { return false; }, 300);
        app->MainFrame()->close();
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QString("Camera Direct Show Source was not selected. Continue anyway?"));

    // The stored name is empty, so the next start asks again before the window.
    auto app = MakeApp();
    int dialogs = 0;
    ModalWatcher watcher([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal)) {
            ++dialogs;
            dialog->reject();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->accept();
        }
    });
    EXPECT_FALSE(app->InitInstance());
    EXPECT_EQ(dialogs, 1);
}

TEST_F(StartupTest, PropertiesChangesActOnTheNextFramesSurviveCancelAndAreSaved) {
    Store([](CindralSettings& settings) { settings.camera_name = "Ball Camera"; });
    auto app = MakeApp();
    std::vector<QString> unexpected;
    {
        ModalWatcher watcher([&](QWidget* modal) {
            unexpected.push_back(modal->windowTitle());
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        });
        ASSERT_TRUE(app->InitInstance());
    }
    EXPECT_TRUE(unexpected.empty());  // a stored camera: no dialog at start
    CMainFrame* frame = app->MainFrame();
    CCindralView* view = frame->View();
    ASSERT_TRUE(WaitUntil([&] { return view->PresentedFrameCount() >= 2; }));
    EXPECT_TRUE(FindArchives(folder_.Path() / "Storage").empty());  // saving is off

    ModalWatcher watcher([&](QWidget* modal) {
        if (auto* chooser = qobject_cast<QColorDialog*>(modal)) {
            chooser->setCurrentColor(QColor(0, 255, 0));
            chooser->accept();
        } else if (auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal)) {
            QTest::mouseClick(dialog->SavingButton(kSavingAlways), Qt::LeftButton);
            QTest::mouseClick(dialog->ShowDetectorBox(), Qt::LeftButton);
            dialog->ThresholdSlider()->setFocus();
            QTest::keyClick(dialog->ThresholdSlider(), Qt::Key_Home);
            QTest::mouseClick(dialog->ColourSwatch(), Qt::LeftButton, Qt::NoModifier,
                              dialog->ColourSwatch()->rect().center());
            QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
        }
    });
    frame->CommandAction(CMainFrame::kCommandProperties)->trigger();
    EXPECT_EQ(frame->Settings().detector_colour.load(), 0x03E0);
    EXPECT_EQ(frame->Settings().threshold.load(), 1);

    // The moving ball is marked in the new colour, and "Always" records.
    const int presented = view->PresentedFrameCount();
    ASSERT_TRUE(WaitUntil([&] {
        return view->PresentedFrameCount() > presented + 2 &&
               FindColour(view->grab().toImage(), QColor(0, 248, 0)).isValid();
    }));
    ASSERT_TRUE(WaitUntil([&] { return !FindArchives(folder_.Path() / "Storage").empty(); }));

    frame->close();
    app.reset();
    const auto archives = FindArchives(folder_.Path() / "Storage");
    ASSERT_EQ(archives.size(), 1u);
    const auto trailer = archive_format::ReadTrailer(archives[0].string());
    ASSERT_TRUE(trailer.has_value());  // finished when the window closed
    EXPECT_GT(trailer->record_count, 0);

    CindralSettings saved;
    ReadBack(saved);
    EXPECT_EQ(saved.camera_name, "Ball Camera");
    EXPECT_EQ(saved.saving_mode.load(), kSavingAlways);
    EXPECT_EQ(saved.show_detector.load(), 1);
    EXPECT_EQ(saved.threshold.load(), 1);
    EXPECT_EQ(saved.detector_colour.load(), 0x03E0);
}

TEST_F(StartupTest, ShutdownRequestDuringAStartUpMessageClosesOnceStartUpHasReturned) {
    Store([](CindralSettings& settings) {
        settings.camera_name = "Missing Camera";
        settings.threshold = 55;
    });
    auto app = MakeApp();
    ModalWatcher watcher([&](QWidget* modal) {
        // The capture's "not found" box, shown while the view is still starting: a signal now.
        if (qobject_cast<QMessageBox*>(modal) != nullptr) app->OnShutdownRequest();
    });
    ASSERT_TRUE(app->InitInstance());
    ASSERT_EQ(watcher.Texts().size(), 1u);
    EXPECT_EQ(watcher.Texts()[0], QString("Camera Direct Show Source \"Missing Camera\" was not found!"));
    ASSERT_TRUE(WaitUntil([&] { return !app->MainFrame()->isVisible(); }));
    EXPECT_EQ(app->MainFrame()->View(), nullptr);

    app.reset();
    CindralSettings saved;
    ReadBack(saved);
    EXPECT_EQ(saved.threshold.load(), 55);
    EXPECT_EQ(saved.camera_name, "Missing Camera");
}

TEST_F(StartupTest, ShutdownRequestWhileTheViewRunsACameraPageWaitsForThePageToReturn) {
    Store([](CindralSettings& settings) { settings.camera_name = "Green Camera"; });
    auto app = MakeApp();
    ASSERT_TRUE(app->InitInstance());
    CCindralView* view = app->MainFrame()->View();
    ASSERT_TRUE(WaitUntil([&] { return view->PresentedFrameCount() >= 1; }));

    bool page_seen = false;
    ModalWatcher watcher([&](QWidget* modal) {
        if (qobject_cast<QMessageBox*>(modal) != nullptr) return;
        page_seen = true;
        app->OnShutdownRequest();  // rejects the page; the view is still below it
    });
    QEventLoop main_loop;  // the program's own loop, as the signal would find it
    QTimer::singleShot(0, [&] { view->OnContextCommand(CCindralView::kCommandCameraPin); });
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (page_seen && !app->MainFrame()->isVisible()) main_loop.quit();
    });
    check.start(20);
    QTimer::singleShot(60000, &main_loop, &QEventLoop::quit);  // a hang ends the test, not the suite
    main_loop.exec();
    EXPECT_TRUE(page_seen);
    EXPECT_FALSE(app->MainFrame()->isVisible());
    EXPECT_EQ(app->MainFrame()->View(), nullptr);
}

TEST(MainFrameKeys, F1AsksForTheHelpAndCtrlQQuits) {
    TempFolder folder;
    const auto settings_file = folder.Path() / "config" / "Cindral.reg";
    {
        // A camera is chosen, so no first-start dialog; none runs, since the view is not made.
        CKeyStore store(settings_file);
        CindralSettings settings;
        settings.camera_name = "Absent Camera";
        SaveSettings(store, settings);
    }
    CMainFrame frame(folder.Folder(), settings_file);
    ASSERT_TRUE(frame.Create());
    frame.show();
    frame.activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &frame; }));
    QSignalSpy help(&frame, &CMainFrame::HelpRequested);
    QTest::keyClick(&frame, Qt::Key_F1);
    EXPECT_EQ(1, help.count());
    QTest::keyClick(&frame, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(frame.isVisible());
}

TEST(ProgramFolder, IsTheExecutableFolderWithItsSeparator) {
    EXPECT_EQ(ProgramFolderFromExecutable("/opt/cam/cindral"), QString("/opt/cam/"));
    EXPECT_EQ(ProgramFolderFromExecutable("/cindral"), QString("/"));
    EXPECT_EQ(ProgramFolderFromExecutable("cindral"), QString());
    EXPECT_TRUE(CCindralApp::HelpFilePath().endsWith("/Cindral.html"));
}
