// The program left running, end to end on test cameras: a first start without any camera, a
// camera plugged in later, recording that fails and recovers, and a camera pulled out, each
// seen in the view and in the status bar's state pane.
#include <gtest/gtest.h>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/capture_message_box.h"
#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/session_state_pane.h"
#include "app_test_support.h"
#include "archive/archive_format.h"
#include "capture/live_session.h"
#include "capture/test_camera_provider.h"
#include "capture_ui/twain_sources_dlg.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"
#include "support/file_size_limit.h"

namespace {

bool IsBlack(const QImage& image, int x, int y) { return image.pixelColor(x, y).rgb() == QColor(Qt::black).rgb(); }

}  // namespace

TEST(LiveState, NoCameraAtFirstThenOneIsPluggedInRecordsFailsRecoversAndIsLost) {
    ScopedEnvironment no_cameras("CINDRAL_TEST_CAMERAS", "");
    ResetTestCameras();
    TempFolder folder;
    auto app = std::make_unique<CCindralApp>(QString::fromStdString(folder.Folder()),
                                             folder.Path() / "config" / "Cindral.reg");
    QStringList notices;
    bool was_ok_enabled = false;
    ModalWatcher watcher([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<CTwainSourcesDlg*>(modal)) {
            was_ok_enabled = dialog->OkButton()->isEnabled();
            QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
                QTest::mouseClick(yes, Qt::LeftButton);  // "Continue anyway?"
                return;
            }
            notices << box->windowTitle() + ": " + box->text();
            box->accept();
        }
    });
    ASSERT_TRUE(app->InitInstance());
    EXPECT_TRUE(was_ok_enabled);
    CMainFrame* frame = app->MainFrame();
    CCindralView* view = frame->View();
    CSessionStatePane* pane = frame->StatePane();
    EXPECT_EQ(QString("No camera"), pane->text());

    // Black with the state, and nothing left behind where the bars were.
    frame->CommandAction(59392)->trigger();
    frame->CommandAction(59393)->trigger();
    QApplication::processEvents();
    QImage shown = view->grab().toImage();
    EXPECT_TRUE(IsBlack(shown, 0, 0));
    EXPECT_TRUE(IsBlack(shown, shown.width() - 1, shown.height() - 1));
    int bright = 0;
    for (int x = shown.width() / 4; x < shown.width() * 3 / 4; ++x)
        bright += shown.pixelColor(x, shown.height() / 2).value() > 200;
    EXPECT_GT(bright, 0) << "the state is written in the middle";
    frame->CommandAction(59393)->trigger();

    // A camera plugged in later is taken, and kept for the next start.
    PlugTestCamera({"Late Camera",
                    "videotestsrc pattern=green is-live=true ! "
                    "capsfilter caps=video/x-raw,width=160,height=120,framerate=15/1"});
    ASSERT_TRUE(WaitUntil([&] { return view->PresentedFrameCount() >= 2; })) << notices.join('|').toStdString();
    EXPECT_EQ("Late Camera", frame->Settings().camera_name);
    EXPECT_EQ(QString("Watching"), pane->text());

    frame->Settings().saving_mode = kSavingAlways;
    ASSERT_TRUE(WaitUntil([&] { return pane->text().startsWith("REC 00:00:0"); })) << pane->text().toStdString();
    const std::string archive = view->Session()->State().archive_path;
    ASSERT_FALSE(archive.empty());

    // The disk fills up: red with the reason and one notice, until space comes back.
    {
        FileSizeLimit cap(static_cast<rlim_t>(std::filesystem::file_size(archive)) + 64);
        ASSERT_TRUE(WaitUntil([&] { return pane->IsShowingFailure(); }));
        EXPECT_EQ(QString("Not recording: cannot append a frame to: File too large"), pane->text());
        WaitUntil([] { return false; }, 500);
    }
    ASSERT_TRUE(WaitUntil([&] { return !pane->IsShowingFailure(); }));
    EXPECT_TRUE(pane->text().startsWith("REC ")) << pane->text().toStdString();
    EXPECT_EQ(1, notices.filter("Not recording: cannot append a frame to " + QString::fromStdString(archive)).size())
        << notices.join('|').toStdString();

    // Pulled out: the last picture darkened with "No signal", the archive finished, retries timed.
    UnplugTestCamera("Late Camera");
    ASSERT_TRUE(WaitUntil([&] { return pane->text().startsWith("Camera lost, retrying in "); }))
        << pane->text().toStdString();
    shown = view->grab().toImage();
    const QColor corner = shown.pixelColor(2, 2);
    EXPECT_LT(corner.green(), 128) << "darkened";
    EXPECT_GT(corner.green(), corner.red()) << "over the last picture";
    EXPECT_TRUE(WaitUntil([&] { return !notices.filter("Could not access camera").isEmpty(); }));
    WaitUntil([] { return false; }, 1500);  // past the first retry: it fails without a word
    EXPECT_EQ(1, notices.filter("Could not access camera").size()) << notices.join('|').toStdString();
    EXPECT_TRUE(archive_format::ReadTrailer(archive).has_value());

    frame->close();
    app.reset();
    ResetTestCameras();
}

TEST(LiveState, NoticesCloseThemselvesWhenTheirCauseEnds) {
    ScopedEnvironment no_cameras("CINDRAL_TEST_CAMERAS", "");
    ResetTestCameras();
    const TestCameraSpec camera{"Door Camera",
                                "videotestsrc is-live=true ! "
                                "capsfilter caps=video/x-raw,width=160,height=120,framerate=15/1"};
    TempFolder folder;
    const auto settings_file = folder.Path() / "config" / "Cindral.reg";
    {
        CKeyStore store(settings_file);
        CindralSettings settings;
        settings.camera_name = camera.name;
        SaveSettings(store, settings);
    }
    auto app = std::make_unique<CCindralApp>(QString::fromStdString(folder.Folder()), settings_file);
    ASSERT_TRUE(app->InitInstance());
    PlugTestCamera(camera);  // the stored camera comes once the program runs
    app->MainFrame()->Settings().saving_mode = kSavingAlways;
    CCindralView* view = app->MainFrame()->View();
    CSessionStatePane* pane = app->MainFrame()->StatePane();
    // Nobody answers the notices here: they must go by themselves.
    auto open_notices = [&](const QString& caption) {
        int count = 0;
        for (const QMessageBox* box : view->CaptureMessages()->OpenBoxes())
            count += box->windowTitle() == caption && box->isVisible();
        return count;
    };
    ASSERT_TRUE(WaitUntil([&] { return pane->text().startsWith("REC "); })) << pane->text().toStdString();
    const std::string archive = view->Session()->State().archive_path;
    {
        FileSizeLimit cap(static_cast<rlim_t>(std::filesystem::file_size(archive)) + 64);
        ASSERT_TRUE(WaitUntil([&] { return open_notices("Not recording") == 1; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return open_notices("Not recording") == 0; }));
    EXPECT_TRUE(pane->text().startsWith("REC ")) << pane->text().toStdString();

    UnplugTestCamera(camera.name);
    ASSERT_TRUE(WaitUntil([&] { return open_notices("Could not access camera") == 1; }));
    PlugTestCamera(camera);
    ASSERT_TRUE(WaitUntil([&] { return open_notices("Could not access camera") == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return pane->text().startsWith("REC "); })) << pane->text().toStdString();

    app->MainFrame()->close();
    app.reset();
    ResetTestCameras();
}

TEST(LiveState, ANoticeWithAShortTextStillShowsItsWholeTitle) {
    QWidget window;
    CCaptureMessageBox notices(&window);
    notices.ShowMessage("gone", "Could not access camera", MessageIcon::kError);
    ASSERT_EQ(notices.OpenBoxes().size(), 1);
    const QMessageBox* box = notices.OpenBoxes().first();
    const QFontMetrics title_font(QApplication::font("QMdiSubWindowTitleBar"));
    EXPECT_GT(box->width(), title_font.horizontalAdvance(box->windowTitle()) + 100);
    notices.CloseMessages("Could not access camera");
    EXPECT_TRUE(WaitUntil([&] { return notices.OpenBoxes().isEmpty(); }));
}
