// The desktop side of motion events: the notification as the desktop's service receives it, and
// the ignored areas painted over the live picture and kept beside the settings.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QVariantMap>
#include <csignal>
#include <fstream>

#include "app/cindral_app.h"
#include "app/cindral_view.h"
#include "app/event_notifier.h"
#include "app/main_frame.h"
#include "app/motion_events_dlg.h"
#include "app/screen_fit.h"
#include "app_test_support.h"
#include "capture/ignored_areas_file.h"
#include "capture/live_session.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"

namespace {

// The desktop's notification service, as far as Cindral uses it.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        uint replaces = 0;
        QStringList actions;
    };
    std::vector<Call> calls;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int) {
        calls.push_back({app, icon, summary, body, replaces, actions});
        return 7;
    }
};

// Sees the clicks the desktop sends on Cindral's own connection, after its notifier does.
class ClickWitness : public QObject {
    Q_OBJECT
public:
    std::vector<uint> ids;

public slots:
    void OnActionInvoked(uint id, const QString&) { ids.push_back(id); }
};

// A private session bus from dbus-run-session, ended with its process group.
class PrivateBus {
public:
    explicit PrivateBus(const TempFolder& folder) {
        const std::string address_file = folder.File("bus");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c",
                     ("echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + address_file + ".tmp' && mv '" + address_file +
                      ".tmp' '" + address_file + "' && sleep 120")
                         .c_str(),
                     static_cast<char*>(nullptr));
            _exit(127);
        }
        WaitUntil([&] { return std::ifstream(address_file).good(); }, 20000);
        std::getline(std::ifstream(address_file), address_);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    QString Address() const { return QString::fromStdString(address_); }

private:
    pid_t pid_ = -1;
    std::string address_;
};

TEST(MotionEventsDesktop, NotificationReachesTheServiceAndItsClickRaisesCindral) {
    TempFolder folder;
    PrivateBus bus(folder);
    ASSERT_FALSE(bus.Address().isEmpty());
    QDBusConnection server = QDBusConnection::connectToBus(bus.Address(), QStringLiteral("notification-service"));
    ASSERT_TRUE(server.isConnected()) << server.lastError().message().toStdString();
    NotificationService service;
    ASSERT_TRUE(server.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                      QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(server.registerService(QStringLiteral("org.freedesktop.Notifications")));

    QObject owner;
    CEventNotifier notifier(&owner, QDBusConnection::connectToBus(bus.Address(), QStringLiteral("cindral")));
    const qint64 wall_ms = QDateTime(QDate(2026, 12, 7), QTime(18, 4, 5)).toMSecsSinceEpoch();
    notifier.NotifyEventStart(wall_ms, QStringLiteral("Front door"));
    ASSERT_TRUE(WaitUntil([&] { return !service.calls.empty(); }, 20000));
    const NotificationService::Call& call = service.calls[0];
    EXPECT_EQ("Cindral", call.app.toStdString());
    EXPECT_EQ("Motion at 18:04:05", call.summary.toStdString());
    EXPECT_EQ("Recording Front door", call.body.toStdString());
    EXPECT_EQ(0u, call.replaces);
    ASSERT_GE(call.actions.size(), 2);
    EXPECT_EQ("default", call.actions[0].toStdString());

    // Clicked: the service says so with the id it gave; another notification's click is not ours.
    QSignalSpy activated(&notifier, &CEventNotifier::Activated);
    ClickWitness witness;
    ASSERT_TRUE(QDBusConnection(QStringLiteral("cindral"))
                    .connect(QStringLiteral("org.freedesktop.Notifications"),
                             QStringLiteral("/org/freedesktop/Notifications"),
                             QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"), &witness,
                             SLOT(OnActionInvoked(uint, QString))));
    // The clicks count once the service's reply with the id has come back: the notifier lets go
    // of its call then.
    ASSERT_TRUE(WaitUntil([&] { return notifier.findChildren<QDBusPendingCallWatcher*>().isEmpty(); }, 20000));
    for (uint id : {8u, 7u}) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                         QStringLiteral("org.freedesktop.Notifications"),
                                                         QStringLiteral("ActionInvoked"));
        signal << id << QStringLiteral("default");
        ASSERT_TRUE(server.send(signal));
    }
    // Both clicks have reached the notifier once they have reached the witness.
    ASSERT_TRUE(WaitUntil([&] { return witness.ids.size() == 2 && activated.count() > 0; }, 20000));
    EXPECT_EQ(1, activated.count());
    // The next event's notification replaces this one.
    notifier.NotifyEventStart(wall_ms + 1000, QString());
    ASSERT_TRUE(WaitUntil([&] { return service.calls.size() == 2; }, 20000));
    EXPECT_EQ(7u, service.calls[1].replaces);
}

TEST(MotionEventsDesktop, AClickedNotificationBringsAMinimisedWindowBackAsItWas) {
    for (const bool was_maximised : {true, false}) {
        QWidget window;
        window.resize(320, 200);
        if (was_maximised) {
            window.showMaximized();
        } else {
            window.show();
        }
        ASSERT_TRUE(WaitUntil([&] { return window.isVisible() && window.isMaximized() == was_maximised; }));
        window.setWindowState(window.windowState() | Qt::WindowMinimized);
        ASSERT_TRUE(WaitUntil([&] { return window.isMinimized(); }));
        CScreenFit::BringToFront(window);
        EXPECT_TRUE(WaitUntil([&] { return !window.isMinimized(); }));
        EXPECT_EQ(was_maximised, window.isMaximized());
        EXPECT_TRUE(window.isVisible());
    }
}

TEST(MotionEventsDesktop, IgnoredAreasPaintedOverThePictureAreKeptPerCamera) {
    const BallCameraProgram ball;
    const auto& settings_file = ball.settings_file;
    CCindralApp app(ball.Folder(), settings_file);
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    CCindralView* view = frame->View();
    ASSERT_TRUE(WaitUntil([&] { return view->PresentedFrameCount() > 0; }));
    frame->CommandAction(CMainFrame::kCommandIgnoredAreas)->trigger();
    ASSERT_TRUE(view->IsEditingIgnoredAreas());
    // The centre of block (x, 0) of the 40 x 30 blocks, wherever the picture lies in the view.
    const QRect picture = view->PictureRect(QSize(160, 120));
    const auto block = [&](int x) {
        return QPoint(picture.left() + (2 * x + 1) * picture.width() / 80, picture.top() + picture.height() / 60);
    };
    // Drag along the top row of blocks, then Shift-drag the first two back.
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, block(0));
    for (int x = 1; x < 40; ++x) QTest::mouseMove(view, block(x));
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, block(39));
    QTest::mousePress(view, Qt::LeftButton, Qt::ShiftModifier, block(0));
    QMouseEvent move(QEvent::MouseMove, QPointF(block(1)), view->mapToGlobal(QPointF(block(1))), Qt::NoButton,
                     Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::ShiftModifier, block(1));
    ASSERT_NE(nullptr, view->IgnoredBlocks());
    EXPECT_EQ(38, view->IgnoredBlocks()->IgnoredCount());
    EXPECT_FALSE(view->IgnoredBlocks()->IsIgnored(1));
    EXPECT_TRUE(view->IgnoredBlocks()->IsIgnored(2));

    auto* done = view->IgnoredAreasBar()->findChildren<QPushButton*>().back();
    ASSERT_EQ("Done", done->text().toStdString());
    done->click();
    EXPECT_FALSE(view->IsEditingIgnoredAreas());
    std::string error;
    const std::optional<BlockMask> kept = ReadIgnoredAreas(frame->IgnoredAreasFile(), &error);
    ASSERT_TRUE(kept) << error;
    EXPECT_EQ(0u, frame->IgnoredAreasFile().rfind((ball.program.Path() / "config").string(), 0));
    EXPECT_EQ(view->IgnoredBlocks()->Bytes(), kept->Bytes());
    EXPECT_EQ(40, kept->Across());
}

TEST(MotionEventsDesktop, IgnoredAreasDragsPaintTheWholeWayWithTheBrushOrARectangleAndEscapeEnds) {
    const BallCameraProgram ball;
    const auto& settings_file = ball.settings_file;
    CCindralApp app(ball.Folder(), settings_file);
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    CCindralView* view = frame->View();
    ASSERT_TRUE(WaitUntil([&] { return view->PresentedFrameCount() > 0; }));
    frame->CommandAction(CMainFrame::kCommandIgnoredAreas)->trigger();
    ASSERT_TRUE(view->IsEditingIgnoredAreas());
    // The centre of block (x, y) of the 40 x 30 blocks.
    const QRect picture = view->PictureRect(QSize(160, 120));
    const auto block = [&](int x, int y) {
        return QPoint(picture.left() + (2 * x + 1) * picture.width() / 80,
                      picture.top() + (2 * y + 1) * picture.height() / 60);
    };
    const auto ignored = [&](int x, int y) { return view->IgnoredBlocks()->IsIgnored(size_t(y) * 40 + x); };
    auto* clear = view->IgnoredAreasBar()->findChildren<QPushButton*>().front();
    ASSERT_EQ("Clear", clear->text().toStdString());

    // One quick move from corner to corner: a connected line, one block in every column.
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, block(0, 0));
    QTest::mouseMove(view, block(39, 29));
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, block(39, 29));
    ASSERT_NE(nullptr, view->IgnoredBlocks());
    EXPECT_EQ(40, view->IgnoredBlocks()->IgnoredCount());
    for (int x = 0; x < 40; ++x) {
        int in_column = 0;
        for (int y = 0; y < 30; ++y) in_column += ignored(x, y);
        EXPECT_EQ(1, in_column) << "column " << x;
    }

    // The brush: 1, 3, 5 and 9 blocks with "]", back with "[", no further than either end.
    std::vector<int> sizes;
    for (int press = 0; press < 4; ++press) {
        QTest::keyClick(view, Qt::Key_BracketRight);
        sizes.push_back(view->BrushBlocks());
    }
    QTest::keyClick(view, Qt::Key_BracketLeft);
    sizes.push_back(view->BrushBlocks());
    EXPECT_EQ((std::vector<int>{3, 5, 9, 9, 5}), sizes);
    clear->click();
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, block(10, 10));
    EXPECT_EQ(25, view->IgnoredBlocks()->IgnoredCount());
    EXPECT_TRUE(ignored(8, 8) && ignored(12, 12) && !ignored(13, 12));

    // Ctrl+drag: the rectangle between the corners, painted on release.
    clear->click();
    QTest::mousePress(view, Qt::LeftButton, Qt::ControlModifier, block(5, 4));
    QTest::mouseMove(view, block(2, 2));
    EXPECT_EQ(nullptr, view->IgnoredBlocks());
    QTest::mouseRelease(view, Qt::LeftButton, Qt::ControlModifier, block(2, 2));
    ASSERT_NE(nullptr, view->IgnoredBlocks());
    EXPECT_EQ(12, view->IgnoredBlocks()->IgnoredCount());
    EXPECT_TRUE(ignored(2, 2) && ignored(5, 4));

    // Escape leaves as "Done" does: the areas are kept.
    QSignalSpy edited(view, &CCindralView::IgnoredAreasEdited);
    QTest::keyClick(view, Qt::Key_Escape);
    EXPECT_FALSE(view->IsEditingIgnoredAreas());
    EXPECT_EQ(1, edited.count());
    std::string error;
    const std::optional<BlockMask> kept = ReadIgnoredAreas(frame->IgnoredAreasFile(), &error);
    ASSERT_TRUE(kept) << error;
    EXPECT_EQ(12, kept->IgnoredCount());
}

TEST(MotionEventsDesktop, DialogShowsTheShareOfThePictureAndGivesItsChoices) {
    MotionEventChoices choices;
    choices.pre_roll_s = 2;
    CMotionEventsDlg dialog(choices, 640, 480, CFramePipeline::PreRollStatus{1500, kPreRollByteLimit, true}, nullptr);
    dialog.MinBlocks()->setValue(192);  // of 160 x 120 blocks
    // docs/make_screenshot.sh takes the README's picture of the dialog here.
    if (const char* folder = std::getenv("CINDRAL_SCREENSHOT_DIR")) {
        dialog.adjustSize();
        ASSERT_TRUE(dialog.grab().save(QString::fromLocal8Bit(folder) + "/motion-events.png"));
    }
    EXPECT_EQ("1 % of the picture", dialog.MinBlocksShare()->text().toStdString());
    EXPECT_NE(std::string::npos, dialog.PreRollNote()->text().toStdString().find("holds only 1.5 s"));
    EXPECT_FALSE(dialog.LightPercent()->isEnabled());
    dialog.LightCheck()->setChecked(true);
    EXPECT_EQ(kRecommendedLightChangePercent, dialog.Choices().light_change_percent);
    dialog.PreRoll()->setValue(0);
    EXPECT_EQ(0, dialog.Choices().pre_roll_s);
    EXPECT_EQ(192, dialog.Choices().min_blocks);
    EXPECT_EQ("192 blocks", dialog.MinBlocks()->text().toStdString());
    dialog.MinBlocks()->setValue(1);
    EXPECT_EQ("1 block", dialog.MinBlocks()->text().toStdString());
}

}  // namespace

#include "motion_events_test.moc"
