#include "app/remote_viewing_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHostInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "web/web_auth.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box_fit.h"

namespace {

constexpr int kQrModulePixels = 4;
constexpr int kQrQuietModules = 4;
constexpr int kCopyConfirmMs = 2000;

QPixmap QrPixmap(const QString& text) {
    int width = 0;
    const std::vector<bool> modules = QrCodeModules(text.toStdString(), width);
    if (modules.empty()) return {};
    const int side = width + 2 * kQrQuietModules;
    QImage image(side, side, QImage::Format_Mono);
    image.fill(0);  // colour 0: white
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < width; ++y) {
        for (int x = 0; x < width; ++x) {
            if (modules[static_cast<size_t>(y) * width + x])
                image.setPixel(x + kQrQuietModules, y + kQrQuietModules, 1);
        }
    }
    return QPixmap::fromImage(image.scaled(side * kQrModulePixels, side * kQrModulePixels));
}

}  // namespace

QString LocalNetworkHost() {
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) return address.toString();
    }
    return QHostInfo::localHostName();
}

CRemoteViewingDlg::CRemoteViewingDlg(const RemoteViewingSettings& settings, const QString& fingerprint, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setWindowTitle(tr("Remote Viewing"));
    confirmer_ = [](QWidget* owner) {
        return ExecFittedMessageBox(owner, QMessageBox::Warning, tr("Remote Viewing"),
                                    tr("Without HTTPS, the password and the pictures travel in the clear: anyone on "
                                       "the network can read them. Serve plain HTTP anyway?"),
                                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    };
    auto* layout = new QVBoxLayout(this);
    enabled_check_ = new QCheckBox(tr("&Serve the live picture and the recordings to browsers"), this);
    enabled_check_->setChecked(settings.is_enabled);
    layout->addWidget(enabled_check_);

    auto* form = new QFormLayout;
    layout->addLayout(form);
    local_radio_ = new QRadioButton(tr("This &computer only"), this);
    all_networks_radio_ = new QRadioButton(tr("&All networks"), this);
    (settings.is_all_networks ? all_networks_radio_ : local_radio_)->setChecked(true);
    auto* where = new QHBoxLayout;
    where->addWidget(local_radio_);
    where->addWidget(all_networks_radio_);
    form->addRow(tr("Reachable from:"), where);
    // Said here because the choice is easy to make and its reach is not obvious.
    auto* reach_note =
        new QLabel(tr("All networks: every device on the networks this computer is on can reach the "
                      "page; the user name, the password and HTTPS protect it. From outside the home, "
                      "a VPN, or \"This computer only\" reached through SSH port forwarding, is the safer way."),
                   this);
    reach_note->setWordWrap(true);
    form->addRow(QString(), reach_note);
    port_spin_ = new QSpinBox(this);
    port_spin_->setRange(1, 65535);
    port_spin_->setValue(settings.port);
    form->addRow(tr("&Port:"), port_spin_);
    user_edit_ = new QLineEdit(QString::fromStdString(settings.user), this);
    form->addRow(tr("&User name:"), user_edit_);
    password_edit_ = new QLineEdit(this);
    password_edit_->setEchoMode(QLineEdit::Password);
    if (!settings.password_hash.empty()) password_edit_->setPlaceholderText(tr("(unchanged)"));
    form->addRow(tr("Pass&word:"), password_edit_);
    insecure_check_ = new QCheckBox(tr("Plain &HTTP without encryption (not recommended)"), this);
    insecure_check_->setChecked(settings.is_insecure_http);
    form->addRow(QString(), insecure_check_);

    auto* address_row = new QHBoxLayout;
    address_label_ = new QLabel(this);
    address_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    copy_button_ = new QPushButton(tr("C&opy"), this);
    address_row->addWidget(address_label_, 1);
    address_row->addWidget(copy_button_);
    form->addRow(tr("Address:"), address_row);
    fingerprint_label_ = new QLabel(fingerprint.isEmpty() ? tr("(made when first needed)") : fingerprint, this);
    fingerprint_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fingerprint_label_->setWordWrap(true);
    form->addRow(tr("Certificate SHA-256:"), fingerprint_label_);
    qr_label_ = new QLabel(this);
    qr_label_->setAlignment(Qt::AlignCenter);
    layout->addWidget(qr_label_);
    problem_label_ = new QLabel(this);
    problem_label_->setWordWrap(true);
    problem_label_->setStyleSheet(QStringLiteral("color: #b00000"));
    layout->addWidget(problem_label_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &CRemoteViewingDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // The copy is silent otherwise: the button says it happened, for a moment.
    copy_confirm_timer_ = new QTimer(this);
    copy_confirm_timer_->setSingleShot(true);
    copy_confirm_timer_->setInterval(kCopyConfirmMs);
    connect(copy_confirm_timer_, &QTimer::timeout, this, [this] { copy_button_->setText(tr("C&opy")); });
    connect(copy_button_, &QPushButton::clicked, this, [this] {
        QApplication::clipboard()->setText(Address());
        copy_button_->setText(tr("Copied"));
        copy_confirm_timer_->start();
    });
    for (QAbstractButton* button :
         {static_cast<QAbstractButton*>(enabled_check_), static_cast<QAbstractButton*>(all_networks_radio_),
          static_cast<QAbstractButton*>(local_radio_), static_cast<QAbstractButton*>(insecure_check_)}) {
        connect(button, &QAbstractButton::toggled, this, &CRemoteViewingDlg::Refresh);
    }
    connect(port_spin_, &QSpinBox::valueChanged, this, &CRemoteViewingDlg::Refresh);
    Refresh();
}

void CRemoteViewingDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitHeightToWrappedTexts(*this);  // the note's every line shows
}

QString CRemoteViewingDlg::Address() const {
    const bool is_all = all_networks_radio_->isChecked();
    const bool is_https = is_all && !insecure_check_->isChecked();
    const QString host = is_all ? LocalNetworkHost() : QStringLiteral("127.0.0.1");
    return QStringLiteral("%1://%2:%3/")
        .arg(is_https ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port_spin_->value());
}

void CRemoteViewingDlg::Refresh() {
    const bool is_all = all_networks_radio_->isChecked();
    insecure_check_->setEnabled(is_all);
    fingerprint_label_->setEnabled(is_all && !insecure_check_->isChecked());
    const QString address = Address();
    address_label_->setText(address);
    // A phone on this computer cannot reach 127.0.0.1: the code is for all networks.
    const QPixmap code = is_all ? QrPixmap(address) : QPixmap();
    qr_label_->setPixmap(code);
    qr_label_->setVisible(!code.isNull());
    problem_label_->clear();
}

void CRemoteViewingDlg::accept() {
    RemoteViewingSettings chosen;
    chosen.is_enabled = enabled_check_->isChecked();
    chosen.is_all_networks = all_networks_radio_->isChecked();
    chosen.port = static_cast<uint16_t>(port_spin_->value());
    chosen.user = user_edit_->text().toStdString();
    chosen.is_insecure_http = chosen.is_all_networks && insecure_check_->isChecked();
    const std::string password = password_edit_->text().toStdString();
    const bool is_user_changed = chosen.user != settings_.user;
    chosen.password_hash = password.empty() && !is_user_changed ? settings_.password_hash : std::string();
    if (!password.empty()) chosen.password_hash = HashPassword(password);
    if (chosen.is_enabled && chosen.is_all_networks && (chosen.user.empty() || chosen.password_hash.empty())) {
        problem_label_->setText(tr("All networks need a user name and password."));
        return;
    }
    if (chosen.user.empty() != chosen.password_hash.empty()) {
        problem_label_->setText(tr("Give both a user name and a password, or neither."));
        return;
    }
    if (chosen.is_enabled && chosen.is_insecure_http && !settings_.is_insecure_http && !confirmer_(this)) return;
    settings_ = chosen;
    QDialog::accept();
}
