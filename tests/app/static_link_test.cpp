// Hyperlink labels: what a click opens and how the colour follows a successful open.
#include <gtest/gtest.h>
#include <QDesktopServices>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "app/about_dlg.h"
#include "app/static_link.h"
#include "app_test_support.h"

namespace {

// Takes the URLs that a "cindral-test:" link opens, as the desktop would.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    explicit UrlCatcher(const QString& scheme) : scheme_(scheme) {
        QDesktopServices::setUrlHandler(scheme_, this, "Open");
    }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(scheme_); }
    QList<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.push_back(url); }

private:
    QString scheme_;
};

QColor TextColour(const CStaticLink& link) { return link.palette().color(QPalette::WindowText); }

}  // namespace

TEST(StaticLink, SuccessfulOpenTurnsPurpleForGoodFailedOpenStaysBlue) {
    UrlCatcher catcher("cindral-test");
    QWidget parent;
    CStaticLink link(&parent, "cindral-test:site");
    link.setText("the site");
    EXPECT_EQ(link.Colour(), CStaticLink::kUnvisitedColour);
    EXPECT_EQ(TextColour(link), QColor(0, 0, 255));
    EXPECT_TRUE(link.font().underline());
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);

    QTest::mouseClick(&link, Qt::LeftButton);
    QTest::mouseClick(&link, Qt::LeftButton);
    ASSERT_EQ(catcher.opened.size(), 2);  // once per click
    EXPECT_EQ(catcher.opened[0], QUrl("cindral-test:site"));
    EXPECT_EQ(TextColour(link), QColor(128, 0, 128));

    // A target that nothing can open: only a beep, the colour stays.
    CStaticLink broken(&parent, "no-such-scheme-handler:x");
    EXPECT_FALSE(broken.OpenTarget());
    EXPECT_EQ(TextColour(broken), QColor(0, 0, 255));
}

TEST(StaticLink, WithoutTargetTheLabelTextIsOpenedAndKept) {
    UrlCatcher catcher("cindral-test");
    QWidget parent;
    CStaticLink link(&parent);
    link.setText("cindral-test:from-text");
    EXPECT_TRUE(link.OpenTarget());
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0], QUrl("cindral-test:from-text"));
    EXPECT_EQ(link.Target(), QString("cindral-test:from-text"));

    CStaticLink empty(&parent);
    EXPECT_FALSE(empty.OpenTarget());
    EXPECT_EQ(catcher.opened.size(), 1);
}

TEST(StaticLink, AboutBoxLinksKeepTheirColourBetweenShowings) {
    UrlCatcher web_catcher("https");
    UrlCatcher mail_catcher("mailto");
    QWidget parent;
    CAboutDlg about(&parent);
    EXPECT_EQ(about.windowTitle(), QString("About Cindral"));
    ModalWatcher watcher([&](QWidget* modal) {
        if (modal != &about) return;
        QTest::mouseClick(about.WebLink(), Qt::LeftButton);
        about.accept();
    });
    about.exec();
    ASSERT_EQ(web_catcher.opened.size(), 1);
    EXPECT_EQ(web_catcher.opened[0].toString(), QString(CAboutDlg::kWebAddress));
    EXPECT_EQ(about.WebLink()->Colour(), CStaticLink::kVisitedColour);
    EXPECT_EQ(about.MailLink()->Colour(), CStaticLink::kUnvisitedColour);

    ModalWatcher second_watcher([&](QWidget* modal) {
        if (modal == &about) about.accept();
    });
    about.exec();
    EXPECT_EQ(about.WebLink()->Colour(), CStaticLink::kVisitedColour);
}

TEST(StaticLink, AboutBoxLinksTakeTheFocusAndOpenWithEnterOrSpace) {
    UrlCatcher web_catcher("https");
    UrlCatcher mail_catcher("mailto");
    QWidget parent;
    CAboutDlg about(&parent);
    ModalWatcher watcher([&](QWidget* modal) {
        if (modal != &about) return;
        // OK has the focus, so Enter alone still closes the box; Tab goes on to the links.
        EXPECT_EQ(about.focusWidget(), about.findChild<QPushButton*>());
        QTest::keyClick(about.focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(about.focusWidget(), about.WebLink());
        QTest::keyClick(about.focusWidget(), Qt::Key_Return);
        QTest::keyClick(about.focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(about.focusWidget(), about.MailLink());
        QTest::keyClick(about.focusWidget(), Qt::Key_Space);
        EXPECT_TRUE(about.isVisible());
        about.accept();
    });
    about.exec();
    EXPECT_EQ(web_catcher.opened.size(), 1);
    EXPECT_EQ(mail_catcher.opened.size(), 1);
}

#include "static_link_test.moc"
