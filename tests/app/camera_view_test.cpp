// The camera view on a real capture graph with test cameras: what it paints, the
// hand-over from the streaming thread, playback taking over the picture, and the menu.
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QSlider>
#include <gtest/gtest.h>
#include <functional>
#include <optional>
#include <thread>

#include "app/cindral_view.h"
#include "app_test_support.h"
#include "archive_ui/panel_dlg.h"

namespace {

// SMPTE bars at a width that is not a multiple of 4: a row packing mistake would shear them.
constexpr const char* kBarsCamera =
    "Bars Camera=videotestsrc pattern=smpte is-live=true ! "
    "capsfilter caps=\"video/x-raw,width=322,height=241,framerate=15/1\"";

// Closes every message box the capture raises, keeping its text for the checks.
class MessageCloser {
public:
    MessageCloser()
        : watcher_([this](QWidget* modal) {
              if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                  texts_.push_back(box->text());
                  box->accept();
              }
          }) {}
    const QStringList& Texts() const { return texts_; }

private:
    QStringList texts_;
    ModalWatcher watcher_;
};

BMP_File SolidFrame(int width, int height, mColor_24 colour) {
    BMP_File frame;
    frame.Create(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) frame.GetPixel(x, y) = colour;
    return frame;
}

QColor At(const QImage& image, double fx, double fy) {
    return image.pixelColor(static_cast<int>(fx * (image.width() - 1)), static_cast<int>(fy * (image.height() - 1)));
}

}  // namespace

TEST(CameraView, PaintsLiveFramesUprightAndStretchedOverTheWholeView) {
    ScopedEnvironment cameras("CINDRAL_TEST_CAMERAS", kBarsCamera);
    MessageCloser messages;
    TempFolder folder;
    CindralSettings settings;
    settings.camera_name = "Bars Camera";
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    view.resize(700, 300);  // wider and flatter than the frame
    window.show();
    view.OnInitialUpdate();
    ASSERT_NE(view.Capture(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() >= 3; })) << messages.Texts().join('|').toStdString();
    EXPECT_TRUE(messages.Texts().isEmpty());
    EXPECT_EQ(settings.frame_width.load(), 322);  // the negotiated size replaced the requested one
    EXPECT_EQ(settings.frame_height.load(), -241);  // frames come top row first

    const QImage shown = view.grab().toImage();
    ASSERT_EQ(shown.size(), QSize(700, 300));
    // Top bars left to right: white, yellow, cyan, green, magenta, red, blue; the stretched
    // picture reaches every edge of the view.
    EXPECT_TRUE(IsNear(At(shown, 0.0, 0.0), QColor(255, 255, 255), 40)) << At(shown, 0, 0).name().toStdString();
    EXPECT_TRUE(IsNear(At(shown, 1.5 / 7, 0.2), QColor(255, 255, 0), 40));
    EXPECT_TRUE(IsNear(At(shown, 3.5 / 7, 0.2), QColor(0, 255, 0), 40));
    EXPECT_TRUE(IsNear(At(shown, 1.0, 0.0), QColor(0, 0, 255), 40)) << At(shown, 1, 0).name().toStdString();
    // The same bars further down: the rows line up, so nothing is sheared.
    EXPECT_TRUE(IsNear(At(shown, 1.5 / 7, 0.6), QColor(255, 255, 0), 40));
    EXPECT_TRUE(IsNear(At(shown, 6.5 / 7, 0.6), QColor(0, 0, 255), 40));
    // Bottom band: not the bars (the picture is not upside down).
    EXPECT_FALSE(IsNear(At(shown, 3.5 / 7, 0.98), QColor(0, 255, 0), 60));

    // New and Open repeat the initial update; nothing is created twice.
    CWebCameraDlg* capture = view.Capture();
    CPanelDlg* panel = view.Panel();
    view.OnInitialUpdate();
    EXPECT_EQ(view.Capture(), capture);
    EXPECT_EQ(view.Panel(), panel);
}

TEST(CameraView, NewestHandedOverFrameWinsWithOneWakeUp) {
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    view.resize(64, 48);
    window.show();

    // Three frames from another thread before the user-interface thread gets to run.
    std::thread streaming([&] {
        view.PresentLiveFrame(SolidFrame(8, 6, {0, 0, 255}));
        view.PresentLiveFrame(SolidFrame(8, 6, {0, 255, 0}));
        view.PresentLiveFrame(SolidFrame(7, 5, {255, 0, 0}));  // blue, the newest
    });
    streaming.join();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() > 0; }));
    for (int round = 0; round < 5; ++round) QApplication::processEvents();
    EXPECT_EQ(view.PresentedFrameCount(), 1);
    EXPECT_EQ(view.CurrentImage().size(), QSize(7, 5));
    EXPECT_EQ(view.grab().toImage().pixelColor(63, 47).rgb(), QColor(0, 0, 255).rgb());
}

TEST(CameraView, PlaybackFramesReplaceTheLivePictureUntilThePanelCloses) {
    ScopedEnvironment cameras("CINDRAL_TEST_CAMERAS",
                              "Green Camera=videotestsrc pattern=green is-live=true ! "
                              "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=15/1\"");
    MessageCloser messages;
    TempFolder folder;
    // An archive of red frames, written by the recorder the view itself uses.
    std::string archive_path;
    {
        CFrameArchive writer(folder.Folder() + "Storage/");
        const BMP_File red = SolidFrame(64, 48, {0, 0, 255});
        for (int frame = 0; frame < 3; ++frame) ASSERT_TRUE(writer.WriteFrame(red));
        archive_path = writer.GetWritePath();
        ASSERT_TRUE(writer.CloseFile());
    }

    CindralSettings settings;
    settings.camera_name = "Green Camera";
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    view.resize(320, 240);
    window.show();
    view.OnInitialUpdate();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() >= 2; }));
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(160, 120), QColor(0, 255, 0), 30));

    view.Panel()->SetArchives({QString::fromStdString(archive_path)});
    ASSERT_TRUE(view.IsPlaybackActive());
    EXPECT_EQ(view.CurrentImage().size(), QSize(64, 48));
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(160, 120), QColor(255, 0, 0), 30));
    // Live frames keep coming but are not shown.
    const int presented = view.PresentedFrameCount();
    WaitUntil([] { return false; }, 400);
    EXPECT_EQ(view.PresentedFrameCount(), presented);
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(160, 120), QColor(255, 0, 0), 30));

    view.Panel()->OnClose();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() > presented; }));
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(160, 120), QColor(0, 255, 0), 30));
}

TEST(CameraView, ContextMenuOffersTheFourEntriesAndAnEmptyArchiveChoiceChangesNothing) {
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    window.show();
    {
        MessageCloser messages;
        view.OnInitialUpdate();  // no camera named: the capture reports and builds nothing
        ASSERT_TRUE(WaitUntil([&] { return !messages.Texts().isEmpty(); }));
        EXPECT_EQ(messages.Texts(), QStringList({"Camera Direct Show Source was not selected!"}));
    }

    std::unique_ptr<QMenu> menu(view.CreateContextMenu(&view));
    QStringList texts;
    QList<int> commands;
    for (QAction* action : menu->actions()) {
        texts << (action->isSeparator() ? QString("-") : action->text());
        commands << action->data().toInt();
        EXPECT_TRUE(action->isEnabled());
        EXPECT_FALSE(action->isCheckable());
    }
    EXPECT_EQ(texts, QStringList({"Properties...", "View Archive...", "-", "Camera Pin...", "Camera Filter..."}));
    EXPECT_EQ(commands, QList<int>({1003, 1004, 0, 1005, 1006}));

    int properties_requests = 0;
    QObject::connect(&view, &CCindralView::PropertiesRequested, [&] { ++properties_requests; });
    view.OnContextCommand(CCindralView::kCommandProperties);
    EXPECT_EQ(properties_requests, 1);

    // "View Archive..." confirmed with nothing chosen: the panel is neither loaded nor shown.
    std::vector<QString> dialog_titles;
    ModalWatcher watcher([&](QWidget* modal) {
        dialog_titles.push_back(modal->windowTitle());
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->accept();
    });
    view.OnContextCommand(CCindralView::kCommandViewArchive);
    EXPECT_FALSE(dialog_titles.empty());
    EXPECT_FALSE(view.Panel()->isVisible());
    EXPECT_FALSE(view.IsPlaybackActive());
}

TEST(CameraView, MenuKeyAndShiftF10OpenTheContextMenuAtTheCentre) {
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    view.setGeometry(20, 10, 300, 200);
    window.show();
    QContextMenuEvent from_window_system(QContextMenuEvent::Keyboard, QPoint(0, 0), view.mapToGlobal(QPoint(0, 0)));
    // The right button's press has opened the menu already.
    QContextMenuEvent from_mouse(QContextMenuEvent::Mouse, QPoint(5, 5), view.mapToGlobal(QPoint(5, 5)));
    const std::vector<std::pair<std::function<void()>, bool>> routes = {
        {[&] { QTest::keyClick(&view, Qt::Key_Menu); }, true},
        {[&] { QTest::keyClick(&view, Qt::Key_F10, Qt::ShiftModifier); }, true},
        {[&] { QTest::keyClick(&view, Qt::Key_F10); }, false},
        {[&] { QApplication::sendEvent(&view, &from_window_system); }, true},
        {[&] { QApplication::sendEvent(&view, &from_mouse); }, false},
    };
    for (size_t route = 0; route < routes.size(); ++route) {
        std::optional<QPoint> opened_at;
        QTimer::singleShot(0, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                opened_at = menu->pos();
                EXPECT_EQ(menu->actions().size(), 5);
                menu->close();
            }
        });
        routes[route].first();
        QApplication::processEvents();
        EXPECT_EQ(opened_at.has_value(), routes[route].second) << route;
        EXPECT_EQ(opened_at.value_or(view.mapToGlobal(view.rect().center())), view.mapToGlobal(view.rect().center()))
            << route;
    }
}

TEST(CameraView, CameraPinAndFilterPagesOpenFromTheMenuAndTheLivePictureGoesOn) {
    ScopedEnvironment cameras("CINDRAL_TEST_CAMERAS",
                              "Pin Camera=videotestsrc pattern=red is-live=true ! "
                              "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=15/1\"");
    MessageCloser messages;
    TempFolder folder;
    CindralSettings settings;
    settings.camera_name = "Pin Camera";
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    view.resize(160, 120);
    window.show();
    view.OnInitialUpdate();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() >= 2; }));

    // Both pages are modal dialogs of the view; cancelling them keeps the camera as it was.
    QStringList page_titles;
    {
        ModalWatcher watcher([&](QWidget* modal) {
            if (qobject_cast<QMessageBox*>(modal) != nullptr) return;
            page_titles << modal->windowTitle();
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        });
        view.OnContextCommand(CCindralView::kCommandCameraPin);
        view.OnContextCommand(CCindralView::kCommandCameraFilter);
    }
    EXPECT_EQ(page_titles.size(), 2);
    EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join('|').toStdString();
    const int presented = view.PresentedFrameCount();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() > presented + 1; }));
    EXPECT_EQ(settings.frame_width.load(), 160);
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(80, 60), QColor(255, 0, 0), 30));
}
