// The camera view on a real capture graph with test cameras: what it paints, the
// hand-over from the streaming thread, playback taking over the picture, and the menu.
#include <gtest/gtest.h>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "app/cindral_view.h"
#include "app_test_support.h"
#include "archive_ui/panel_dlg.h"
#include "capture/live_session.h"
#include "recorder/frame_archive.h"

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

// A view in a shown window on a 160x120 test camera of its own name and pattern.
struct ViewOnTestCamera {
    ViewOnTestCamera(const std::string& name, const std::string& pattern, int frames_per_s)
        : cameras("CINDRAL_TEST_CAMERAS", name + "=videotestsrc pattern=" + pattern + " is-live=true ! " +
                                              "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=" +
                                              std::to_string(frames_per_s) + "/1\""),
          view(settings, folder.Folder() + "Storage/", &window) {
        settings.camera_name = name;
        view.resize(160, 120);
        window.show();
    }
    // Starts the camera; true once the view has shown two of its pictures.
    bool Start() {
        view.OnInitialUpdate();
        return WaitUntil([&] { return view.PresentedFrameCount() >= 2; });
    }

    ScopedEnvironment cameras;
    MessageCloser messages;
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view;
};

BMP_File SolidFrame(int width, int height, mColor_24 colour) {
    BMP_File frame;
    frame.Create(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) frame.GetPixel(x, y) = colour;
    return frame;
}

// Hands a picture to the view as the frame pass does and waits until the view has taken it.
bool Present(CCindralView& view, const QImage& image) {
    ViewPicture& picture = view.LivePictureToFill();
    picture.Resize(image.width(), image.height());
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            picture.SetPixel(x, y, colour.blue(), colour.green(), colour.red());
        }
    }
    const int presented = view.PresentedFrameCount();
    view.PresentLivePicture();
    return WaitUntil([&] { return view.PresentedFrameCount() > presented; });
}

// What the view paints, drawn the way it paints into the window's own 32-bit image.
QImage Painted(CCindralView& view) {
    QImage painted(view.size(), QImage::Format_RGB32);
    painted.fill(Qt::magenta);
    view.render(&painted);
    return painted;
}

QImage RandomPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    std::mt19937 random(static_cast<uint32_t>(width * 1000 + height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixel(x, y, 0xFF000000u | (random() & 0xFFFFFFu));
    return image;
}

// Paint events reaching a widget, with their regions.
class PaintLog : public QObject {
public:
    explicit PaintLog(QWidget* widget) { widget->installEventFilter(this); }
    QList<QRegion> regions;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) regions << static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

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
    EXPECT_EQ(settings.frame_width.load(), 322);    // the negotiated size replaced the requested one
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

    // Three pictures from another thread before the user-interface thread gets to run.
    std::thread streaming([&] {
        for (const auto& [size, colour] : {std::pair{QSize(8, 6), QColor(255, 0, 0)},
                                           {QSize(8, 6), QColor(0, 255, 0)},
                                           {QSize(7, 5), QColor(0, 0, 255)}}) {
            ViewPicture& picture = view.LivePictureToFill();
            picture.Resize(size.width(), size.height());
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x)
                    picture.SetPixel(x, y, colour.blue(), colour.green(), colour.red());
            view.PresentLivePicture();
        }
    });
    streaming.join();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() > 0; }));
    for (int round = 0; round < 5; ++round) QApplication::processEvents();
    EXPECT_EQ(view.PresentedFrameCount(), 1);
    EXPECT_EQ(view.CurrentImage().size(), QSize(7, 5));
    EXPECT_EQ(view.grab().toImage().pixelColor(63, 47).rgb(), QColor(0, 0, 255).rgb());
}

TEST(CameraView, PaintsItsRgb32PictureExactlyAtOneToOneAndByNearestPixelsScaled) {
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    window.show();
    const QImage frame = RandomPicture(40, 30);
    ASSERT_TRUE(Present(view, frame));
    EXPECT_EQ(view.CurrentImage().format(), QImage::Format_RGB32);
    for (const QSize& size : {QSize(40, 30), QSize(100, 75), QSize(17, 13), QSize(40, 61)}) {
        view.resize(size);
        const QImage painted = Painted(view);
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                // Each pixel of the view is the frame's pixel under its centre.
                const int source_x = (2 * x + 1) * frame.width() / (2 * size.width());
                const int source_y = (2 * y + 1) * frame.height() / (2 * size.height());
                ASSERT_EQ(painted.pixel(x, y), frame.pixel(source_x, source_y))
                    << size.width() << "x" << size.height() << " at " << x << "," << y;
            }
        }
    }
    // Drawn by the painter instead (into a pixmap), 1:1 is as exact.
    view.resize(frame.size());
    EXPECT_EQ(view.grab().toImage().convertToFormat(QImage::Format_RGB32), frame);
}

TEST(CameraView, KeepAspectRatioPaintsBarsOnceAndThenOnlyThePicture) {
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    view.resize(100, 40);
    window.show();
    QImage frame(40, 30, QImage::Format_RGB32);
    frame.fill(QColor(0, 0, 255));
    ASSERT_TRUE(Present(view, frame));
    EXPECT_EQ(Painted(view).pixelColor(2, 2), QColor(0, 0, 255));  // stretched by default

    view.SetKeepAspectRatio(true);
    const QRect fitted(23, 0, 53, 40);  // 40x30 scaled to the view's height, centred
    EXPECT_EQ(view.PictureRect(frame.size()), fitted);
    const QImage painted = Painted(view);
    for (int x = 0; x < 100; ++x) {
        EXPECT_EQ(painted.pixelColor(x, 20), fitted.contains(x, 20) ? QColor(0, 0, 255) : QColor(Qt::black)) << x;
    }
    // A next picture of the same size asks for its own rectangle alone: the bars stay as they are.
    WaitUntil([] { return false; }, 100);
    PaintLog paints(&view);
    frame.fill(QColor(255, 0, 0));
    ASSERT_TRUE(Present(view, frame));
    ASSERT_TRUE(WaitUntil([&] { return !paints.regions.isEmpty(); }));
    WaitUntil([] { return false; }, 100);
    for (const QRegion& region : paints.regions) EXPECT_EQ(region, QRegion(fitted));
}

TEST(CameraView, NoPicturesAreMadeOrPaintedWhileTheWindowIsMinimised) {
    ViewOnTestCamera camera("Ball Camera", "ball", 30);
    CCindralView& view = camera.view;
    QWidget& window = camera.window;
    ASSERT_TRUE(camera.Start());

    window.showMinimized();
    EXPECT_FALSE(view.IsShowingLive());
    WaitUntil([] { return false; }, 100);  // a picture already on its way
    PaintLog paints(&view);
    const int presented = view.PresentedFrameCount();
    const int64_t processed = view.Session()->FramesProcessed();
    ASSERT_TRUE(WaitUntil([&] { return view.Session()->FramesProcessed() >= processed + 10; }));
    EXPECT_EQ(view.PresentedFrameCount(), presented);
    EXPECT_TRUE(paints.regions.isEmpty());

    window.showNormal();
    EXPECT_TRUE(view.IsShowingLive());
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() > presented + 1; }));
    EXPECT_FALSE(paints.regions.isEmpty());
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
    // Kept in its proportions as the live picture is: black bars beside a taller-than-wide fit.
    view.resize(400, 240);
    view.SetKeepAspectRatio(true);
    EXPECT_EQ(Painted(view).pixelColor(20, 120), QColor(Qt::black));
    EXPECT_TRUE(IsNear(Painted(view).pixelColor(60, 120), QColor(255, 0, 0), 30));
    view.SetKeepAspectRatio(false);
    view.resize(320, 240);
    // Live frames keep coming but are not shown.
    const int presented = view.PresentedFrameCount();
    WaitUntil([] { return false; }, 400);
    EXPECT_EQ(view.PresentedFrameCount(), presented);
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(160, 120), QColor(255, 0, 0), 30));

    view.Panel()->OnClose();
    ASSERT_TRUE(WaitUntil([&] { return view.PresentedFrameCount() > presented; }));
    EXPECT_TRUE(IsNear(view.grab().toImage().pixelColor(160, 120), QColor(0, 255, 0), 30));
}

TEST(CameraView, SnapshotOfAPlayedFrameIsNamedByTheFramesRecordTime) {
    MessageCloser messages;
    TempFolder folder;
    std::string archive_path;
    {
        CFrameArchive writer(folder.Folder() + "Storage/");
        // Recorded long ago: 2026-12-08 04:49:18 in local time.
        const QDateTime recorded(QDate(2026, 12, 8), QTime(4, 49, 18));
        writer.SetClock({[] { return uint32_t{1000}; }, [&] { return std::time_t{recorded.toSecsSinceEpoch()}; }});
        const BMP_File red = SolidFrame(64, 48, {0, 0, 255});
        for (int frame = 0; frame < 2; ++frame) ASSERT_TRUE(writer.WriteFrame(red));
        archive_path = writer.GetWritePath();
        ASSERT_TRUE(writer.CloseFile());
    }
    CindralSettings settings;  // no camera
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    window.show();
    view.OnInitialUpdate();
    view.Panel()->SetArchives({QString::fromStdString(archive_path)});
    ASSERT_TRUE(view.IsPlaybackActive());

    QString suggested;
    ModalWatcher save_dialog([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            suggested = QFileInfo(dialog->selectedFiles().value(0)).fileName();
            dialog->reject();
        }
    });
    view.OnSnapshot();
    EXPECT_EQ("Cindral 2026-12-08 04-49-18.jpg", suggested.toStdString());
}

TEST(CameraView, ContextMenuOffersItsFiveEntriesAndAnEmptyArchiveChoiceChangesNothing) {
    TempFolder folder;
    CindralSettings settings;
    QWidget window;
    CCindralView view(settings, folder.Folder() + "Storage/", &window);
    window.show();
    {
        MessageCloser messages;
        view.OnInitialUpdate();  // no camera named: the capture builds nothing, and says so only in the state
        EXPECT_EQ(view.Session()->State().phase, LivePhase::kNoCamera);
        EXPECT_EQ(view.Session()->State().lost_reason, "Camera Direct Show Source was not selected!");
        WaitUntil([] { return false; }, 200);
        EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join('|').toStdString();
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
    EXPECT_EQ(texts, QStringList({"Properties...", "View Archive...", "Snapshot", "Motion Events...", "-",
                                  "Camera Pin...", "Camera Filter..."}));
    EXPECT_EQ(commands, QList<int>({1003, 1004, 1007, 1008, 0, 1005, 1006}));

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
                EXPECT_EQ(menu->actions().size(), 7);
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
    ViewOnTestCamera camera("Pin Camera", "red", 15);
    CCindralView& view = camera.view;
    const MessageCloser& messages = camera.messages;
    CindralSettings& settings = camera.settings;
    ASSERT_TRUE(camera.Start());

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
