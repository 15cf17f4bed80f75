#include "app/about_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/static_link.h"
#include "cindral_version.h"

const char* const CAboutDlg::kWebAddress = "https://www.tovamesh.example/cindral/";
const char* const CAboutDlg::kSupportAddress = "mailto:support@tovamesh.example";

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About Cindral"));

    auto* picture = new QLabel(this);
    picture->setPixmap(QPixmap(QStringLiteral(":/images/about.png")));
    picture->setFixedSize(400, 300);

    auto* name = new QLabel(QStringLiteral("Cindral " CINDRAL_VERSION), this);
    web_link_ = new CStaticLink(this, QString::fromLatin1(kWebAddress));
    web_link_->setText(QStringLiteral("www.tovamesh.example"));
    mail_link_ = new CStaticLink(this, QString::fromLatin1(kSupportAddress));
    mail_link_->setText(QStringLiteral("support@tovamesh.example"));

    auto* ok_button = new QPushButton(tr("OK"), this);
    ok_button->setDefault(true);
    connect(ok_button, &QPushButton::clicked, this, &QDialog::accept);

    auto* text_column = new QVBoxLayout;
    text_column->addWidget(name);
    text_column->addSpacing(12);
    text_column->addWidget(web_link_);
    text_column->addWidget(mail_link_);
    text_column->addStretch(1);
    text_column->addWidget(ok_button, 0, Qt::AlignRight);

    auto* columns = new QHBoxLayout(this);
    columns->addWidget(picture);
    columns->addSpacing(12);
    columns->addLayout(text_column);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    // Enter still closes the box; Tab goes on to the links.
    ok_button->setFocus();
}
