#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "web/web_settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimer;

// File > "Remote Viewing...": whether the live picture and the recordings are served to
// browsers, to this computer only or to all networks, on which port, with which user and
// password; the address to open (copyable, and as a QR code for a phone) and, for HTTPS, the
// certificate's fingerprint.
class CRemoteViewingDlg : public QDialog {
    Q_OBJECT
public:
    // Asks the user to confirm plain HTTP on all networks; replaced in tests.
    using Confirmer = std::function<bool(QWidget* parent)>;

    // fingerprint: the certificate's, when one is in use (empty: none yet).
    CRemoteViewingDlg(const RemoteViewingSettings& settings, const QString& fingerprint, QWidget* parent);

    // The settings as the dialog holds them (a new password hashed).
    RemoteViewingSettings Settings() const { return settings_; }
    // The address to open with the choices on show.
    QString Address() const;
    void SetConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }
    void accept() override;

    QCheckBox* EnabledCheck() const { return enabled_check_; }
    QRadioButton* AllNetworksRadio() const { return all_networks_radio_; }
    QSpinBox* PortSpin() const { return port_spin_; }
    QLineEdit* UserEdit() const { return user_edit_; }
    QLineEdit* PasswordEdit() const { return password_edit_; }
    QCheckBox* InsecureCheck() const { return insecure_check_; }
    QLabel* AddressLabel() const { return address_label_; }
    QLabel* QrLabel() const { return qr_label_; }
    QLabel* ProblemLabel() const { return problem_label_; }
    QPushButton* CopyButton() const { return copy_button_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Refresh();

    RemoteViewingSettings settings_;
    Confirmer confirmer_;
    QCheckBox* enabled_check_ = nullptr;
    QRadioButton* local_radio_ = nullptr;
    QRadioButton* all_networks_radio_ = nullptr;
    QSpinBox* port_spin_ = nullptr;
    QLineEdit* user_edit_ = nullptr;
    QLineEdit* password_edit_ = nullptr;
    QCheckBox* insecure_check_ = nullptr;
    QLabel* address_label_ = nullptr;
    QPushButton* copy_button_ = nullptr;
    QTimer* copy_confirm_timer_ = nullptr;  // puts the button's text back
    QLabel* qr_label_ = nullptr;
    QLabel* fingerprint_label_ = nullptr;
    QLabel* problem_label_ = nullptr;
};

// The host name others reach this computer by on the local network: its first IPv4 address
// that is not loopback, else its host name.
QString LocalNetworkHost();
