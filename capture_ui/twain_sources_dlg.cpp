#include "capture_ui/twain_sources_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>

#include "capture/device_watcher.h"
#include "capture/video_devices.h"
#include "capture_ui/wnd_pick_color.h"
#include "widgets/dialog_units.h"

namespace {

// Template size of the dialog in dialog units.
constexpr int kDialogWidthDu = 283;
constexpr int kDialogHeightDu = 126;

}  // namespace

CTwainSourcesDlg::CTwainSourcesDlg(QWidget* parent, CindralSettings& settings)
    : QDialog(parent), settings_(settings), camera_lister_([] { return EnumVideoDevices(); }) {
    setWindowTitle(tr("Properties..."));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    CreateControls();
}

CTwainSourcesDlg::~CTwainSourcesDlg() = default;

void CTwainSourcesDlg::CreateControls() {
    // Template order, which is also the tab order.
    ok_button_ = new QPushButton(tr("OK"), this);
    ok_button_->setGeometry(DialogUnitsToPixels(*this, 168, 108, 50, 14));
    ok_button_->setDefault(true);

    camera_group_ = new QGroupBox(tr("Camera"), this);
    camera_group_->setGeometry(DialogUnitsToPixels(*this, 6, 54, 270, 48));

    camera_list_ = new QComboBox(this);
    const QRect combo_rect = DialogUnitsToPixels(*this, 24, 72, 240, 150);
    // The template's height is the dropped-down list's; the closed box keeps its own height.
    camera_list_->setGeometry(combo_rect.x(), combo_rect.y(), combo_rect.width(), camera_list_->sizeHint().height());
    camera_list_->setMaxVisibleItems(qMax(1, combo_rect.height() / qMax(1, camera_list_->sizeHint().height())));

    cancel_button_ = new QPushButton(tr("Cancel"), this);
    cancel_button_->setGeometry(DialogUnitsToPixels(*this, 228, 108, 50, 14));
    cancel_button_->setAutoDefault(false);

    save_off_button_ = new QRadioButton(tr("Off"), this);
    save_off_button_->setGeometry(DialogUnitsToPixels(*this, 10, 14, 27, 10));

    saving_group_ = new QGroupBox(tr("Saving"), this);
    saving_group_->setGeometry(DialogUnitsToPixels(*this, 4, 3, 98, 47));

    save_motion_button_ = new QRadioButton(tr("Motion Detector"), this);
    save_motion_button_->setGeometry(DialogUnitsToPixels(*this, 10, 26, 67, 10));
    save_always_button_ = new QRadioButton(tr("Always"), this);
    save_always_button_->setGeometry(DialogUnitsToPixels(*this, 10, 38, 39, 10));
    saving_buttons_ = new QButtonGroup(this);
    saving_buttons_->addButton(save_off_button_, kSavingOff);
    saving_buttons_->addButton(save_motion_button_, kSavingMotionDetector);
    saving_buttons_->addButton(save_always_button_, kSavingAlways);

    show_detector_box_ = new QCheckBox(tr("Show Detector"), this);
    show_detector_box_->setGeometry(DialogUnitsToPixels(*this, 118, 13, 63, 10));

    colour_swatch_ = new CWndPickColor(this);
    colour_swatch_->setGeometry(DialogUnitsToPixels(*this, 185, 12, 15, 13));

    threshold_label_ = new QLabel(tr("Treshold"), this);
    threshold_label_->setGeometry(DialogUnitsToPixels(*this, 122, 35, 28, 8));

    threshold_slider_ = new QSlider(Qt::Horizontal, this);
    threshold_slider_->setGeometry(DialogUnitsToPixels(*this, 154, 32, 103, 15));
    threshold_slider_->setTickPosition(QSlider::NoTicks);

    // Group boxes only frame their neighbours; keep them beneath so they never hide a control.
    camera_group_->lower();
    saving_group_->lower();
    camera_group_->setFocusPolicy(Qt::NoFocus);
    saving_group_->setFocusPolicy(Qt::NoFocus);

    QWidget::setTabOrder(ok_button_, camera_list_);
    QWidget::setTabOrder(camera_list_, cancel_button_);
    QWidget::setTabOrder(cancel_button_, save_off_button_);
    QWidget::setTabOrder(save_off_button_, save_motion_button_);
    QWidget::setTabOrder(save_motion_button_, save_always_button_);
    QWidget::setTabOrder(save_always_button_, show_detector_box_);
    QWidget::setTabOrder(show_detector_box_, colour_swatch_);
    QWidget::setTabOrder(colour_swatch_, threshold_slider_);

    setFixedSize(DialogUnitsToPixels(*this, 0, 0, kDialogWidthDu, kDialogHeightDu).size());

    connect(ok_button_, &QPushButton::clicked, this, &CTwainSourcesDlg::OnOK);
    connect(cancel_button_, &QPushButton::clicked, this, &QDialog::reject);
    connect(camera_list_, &QComboBox::activated, this, &CTwainSourcesDlg::UpdateOkButton);
    connect(show_detector_box_, &QCheckBox::clicked, this, &CTwainSourcesDlg::OnShowDetector);
    connect(save_off_button_, &QRadioButton::clicked, this, &CTwainSourcesDlg::OnSaveOff);
    connect(save_motion_button_, &QRadioButton::clicked, this, &CTwainSourcesDlg::OnSaveMotion);
    connect(save_always_button_, &QRadioButton::clicked, this, &CTwainSourcesDlg::OnSaveAlways);
    // Every movement, including each step of a drag; setting the position from the
    // settings is done with signals blocked, so a stored value stays until the user moves it.
    connect(threshold_slider_, &QSlider::valueChanged, this, &CTwainSourcesDlg::OnHScroll);
    connect(saving_buttons_, &QButtonGroup::buttonToggled, this, &CTwainSourcesDlg::UpdateSavingTabStop);
}

void CTwainSourcesDlg::UpdateSavingTabStop() {
    // Tab enters the Saving group at its checked button (the first when none is), so that Space
    // there changes nothing; the arrow keys move within the group.
    QAbstractButton* entry = saving_buttons_->checkedButton();
    if (entry == nullptr) entry = save_off_button_;
    for (QAbstractButton* button : saving_buttons_->buttons())
        button->setFocusPolicy(button == entry ? Qt::StrongFocus : Qt::ClickFocus);
}

QRadioButton* CTwainSourcesDlg::SavingButton(int mode) const {
    switch (mode) {
        case kSavingOff: return save_off_button_;
        case kSavingMotionDetector: return save_motion_button_;
        case kSavingAlways: return save_always_button_;
        default: return nullptr;
    }
}

void CTwainSourcesDlg::SetDeviceWatcher(CVideoDeviceWatcher* watcher) {
    camera_lister_ = [watcher] { return watcher->IsStarted() ? watcher->CameraNames() : EnumVideoDevices(); };
    connect(watcher, &CVideoDeviceWatcher::CamerasChanged, this, &CTwainSourcesDlg::RefreshCameraList);
}

void CTwainSourcesDlg::FillCameraList(const std::vector<std::string>& names) {
    camera_list_->clear();
    for (const std::string& name : names) camera_list_->addItem(QString::fromStdString(name));
    // An empty box would look broken; the list itself stays empty, which is what "no camera" means
    // to OK.
    camera_list_->setPlaceholderText(names.empty() ? tr("No camera found") : QString());
}

void CTwainSourcesDlg::RefreshCameraList() {
    if (!isVisible()) return;  // every showing lists afresh anyway
    const QString selected = camera_list_->currentIndex() >= 0 ? camera_list_->currentText() : QString();
    const std::vector<std::string> names = camera_lister_ ? camera_lister_() : std::vector<std::string>{};
    FillCameraList(names);
    camera_list_->setCurrentIndex(selected.isEmpty() ? -1 : camera_list_->findText(selected, Qt::MatchExactly));
    UpdateOkButton();
}

int CTwainSourcesDlg::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CTwainSourcesDlg::OnInitDialog() {
    const std::vector<std::string> names = camera_lister_ ? camera_lister_() : std::vector<std::string>{};
    FillCameraList(names);
    camera_list_->setCurrentIndex(-1);
    if (!settings_.camera_name.empty()) {
        const int found = camera_list_->findText(QString::fromStdString(settings_.camera_name),
                                                 Qt::MatchFixedString);  // whole text, any letter case
        camera_list_->setCurrentIndex(found);
    } else if (names.size() == 1) {
        // The first start with one camera: it is the one meant, and OK works at once.
        camera_list_->setCurrentIndex(0);
    }

    colour_swatch_->SetColorPtr(&settings_.detector_colour);
    colour_swatch_->update();

    // A saving mode outside 0..2 leaves every radio button clear.
    saving_buttons_->setExclusive(false);
    for (QAbstractButton* button : saving_buttons_->buttons()) button->setChecked(false);
    saving_buttons_->setExclusive(true);
    if (QRadioButton* button = SavingButton(settings_.saving_mode.load())) button->setChecked(true);
    UpdateSavingTabStop();

    show_detector_box_->setChecked(settings_.show_detector.load() != 0);
    {
        const QSignalBlocker blocker(threshold_slider_);
        threshold_slider_->setRange(kThresholdMin, kThresholdMax);
        threshold_slider_->setValue(settings_.threshold.load());
    }
    UpdateOkButton();
}

void CTwainSourcesDlg::UpdateOkButton() {
    // With no camera at all, OK asks whether to go on without one, so the program can be used
    // for its archives; with cameras present one must be picked.
    ok_button_->setEnabled(camera_list_->currentIndex() >= 0 || camera_list_->count() == 0);
}

void CTwainSourcesDlg::OnShowDetector() {
    // Flips the setting itself; the check box flips on the same click.
    settings_.show_detector.store(settings_.show_detector.load() == 0 ? 1 : 0);
}

void CTwainSourcesDlg::OnSaveOff() { settings_.saving_mode.store(kSavingOff); }
void CTwainSourcesDlg::OnSaveMotion() { settings_.saving_mode.store(kSavingMotionDetector); }
void CTwainSourcesDlg::OnSaveAlways() { settings_.saving_mode.store(kSavingAlways); }

void CTwainSourcesDlg::OnHScroll() { settings_.threshold.store(threshold_slider_->value()); }

void CTwainSourcesDlg::OnOK() {
    if (camera_list_->currentIndex() < 0) {
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("Warning"), tr("Camera Direct Show Source was not selected. Continue anyway?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) return;
        settings_.camera_name.clear();
    } else {
        settings_.camera_name = camera_list_->currentText().toStdString();
    }
    accept();
}

void CTwainSourcesDlg::keyPressEvent(QKeyEvent* event) {
    // Enter means OK even while the OK button is disabled, so an empty camera can be confirmed.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused_button = qobject_cast<QPushButton*>(focusWidget());
        if (focused_button != nullptr && focused_button != ok_button_ && focused_button->isEnabled()) {
            focused_button->click();
        } else {
            OnOK();
        }
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
