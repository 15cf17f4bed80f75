// The program on a small screen (and on a large one at twice the scale), driven as a user
// would: every window it opens lies inside the screen's available area, the first-start
// dialog is centred, and the main window restores inside the area.
#include <gtest/gtest.h>
#include <QComboBox>
#include <QFileDialog>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>

#include "app/app_test_support.h"
#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/screen_fit.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/panel_dlg.h"
#include "capture_ui/twain_sources_dlg.h"
#include "capture_ui/wnd_pick_color.h"
#include "recorder/frame_archive.h"
#include "widgets/dialog_units.h"

TEST(WindowFit, EveryWindowOpensInsideTheScreen) {
    ScopedEnvironment cameras("CINDRAL_TEST_CAMERAS", "Green Camera=videotestsrc pattern=green is-live=true");
    TempFolder folder;
    BMP_File picture;
    picture.Create(64, 48);
    for (int archive = 0; archive < 3; ++archive) {
        CFrameArchive writer(folder.Folder() + "Storage/");
        ASSERT_TRUE(writer.WriteFrame(picture) && writer.CloseFile());
    }
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QStringList outside;
    QStringList titles;
    QStringList cut_titles;  // a window narrower than its title bar needs elides the title
    auto check = [&](const QString& title, const QRect& frame) {
        titles << title;
        if (!available.contains(frame))
            outside << QStringLiteral("%1 at %2,%3 %4x%5")
                           .arg(title)
                           .arg(frame.x())
                           .arg(frame.y())
                           .arg(frame.width())
                           .arg(frame.height());
    };
    ModalWatcher watcher([&](QWidget* modal) {
        check(modal->windowTitle(), modal->frameGeometry());
        if (modal->frameGeometry().width() < std::min(TitleBarWidth(*modal), available.width()))
            cut_titles << QStringLiteral("%1 %2 px").arg(modal->windowTitle()).arg(modal->frameGeometry().width());
        if (auto* properties = qobject_cast<CTwainSourcesDlg*>(modal)) {
            // The first start's dialog opens before the main window: centred on the screen.
            if (!properties->parentWidget()->isVisible()) {
                EXPECT_LE((modal->frameGeometry().center() - available.center()).manhattanLength(), 2);
                properties->CameraList()->setCurrentIndex(0);
                properties->OnOK();
                return;
            }
            QTest::mouseClick(properties->ColourSwatch(), Qt::LeftButton);  // the colour chooser
            properties->reject();
        } else if (auto* selection = qobject_cast<CArchiveDlg*>(modal)) {
            selection->ListControl()->selectAll();
            selection->accept();
        } else if (auto* save = qobject_cast<QFileDialog*>(modal)) {
            save->selectFile(QString::fromStdString(folder.File("whole.avi")));
            static_cast<QDialog*>(save)->accept();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->done(modal->windowTitle() == "Select Date Range..." ? QDialog::Accepted : QDialog::Rejected);
        }
    });

    CCindralApp app(QString::fromStdString(folder.Folder()), folder.Path() / "Cindral.reg");
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    ASSERT_TRUE(frame->isMaximized());
    check("main window", frame->frameGeometry());
    // Restored: four-fifths of the area, centred.
    const QRect restored = frame->normalGeometry().marginsAdded(CScreenFit::EstimatedFrameMargins(*frame));
    check("restored main window", restored);
    EXPECT_NEAR(restored.width(), available.width() * 0.8, 2);
    EXPECT_LE((restored.center() - available.center()).manhattanLength(), 2);

    // "View Archive..." from the View menu's shortcut: range, selection, then the panel.
    frame->activateWindow();  // the first-start dialog's leaving does not hand it back here
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == frame; }));
    QAction* view_archive = frame->CommandAction(CMainFrame::kCommandViewArchive);
    EXPECT_TRUE(frame->menuBar()->actions().at(1)->menu()->actions().contains(view_archive));
    QTest::keyClick(frame, Qt::Key_R, Qt::ControlModifier);
    CPanelDlg* panel = frame->View()->Panel();
    ASSERT_TRUE(panel->isVisible()) << titles.join(", ").toStdString();
    EXPECT_EQ(panel->Archives().size(), 3);
    QApplication::processEvents();
    check("playback panel", panel->frameGeometry());

    panel->ConvertButton()->click();
    frame->OnProperties();
    frame->CommandAction(CMainFrame::kCommandAbout)->trigger();
    frame->View()->OnContextCommand(CCindralView::kCommandCameraPin);
    frame->View()->OnContextCommand(CCindralView::kCommandCameraFilter);
    for (const char* expected : {"Properties...", "Select Date Range...", "Select Archive", "playback panel", "Save As",
                                 "Select Color", "About Cindral", "Camera Pin", "Camera Filter"}) {
        EXPECT_TRUE(titles.contains(expected)) << expected << " not seen in " << titles.join(", ").toStdString();
    }
    EXPECT_TRUE(cut_titles.isEmpty()) << cut_titles.join("; ").toStdString();
    EXPECT_TRUE(outside.isEmpty()) << outside.join("; ").toStdString() << " outside " << available.width() << "x"
                                   << available.height();
    frame->close();
}
