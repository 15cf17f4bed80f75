#pragma once

#include <QDialog>

class CStaticLink;

// "About Cindral": the program's picture, its name and version and two links.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static const char* const kWebAddress;
    static const char* const kSupportAddress;

    explicit CAboutDlg(QWidget* parent);

    CStaticLink* WebLink() const { return web_link_; }
    CStaticLink* MailLink() const { return mail_link_; }

private:
    CStaticLink* web_link_ = nullptr;
    CStaticLink* mail_link_ = nullptr;
};
