#include "capture_ui/camera_controls_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include "capture/capture_log.h"
#include "widgets/dialog_units.h"

CCameraControlsDlg::CCameraControlsDlg(GstElement* camera, QWidget* parent) : QDialog(parent), controls_(camera) {
    setWindowTitle(tr("Camera Filter"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    auto* page = new QWidget(scroll);
    auto* form = new QFormLayout(page);
    for (size_t index = 0; index < controls_.Controls().size(); ++index) AddControl(form, index);
    if (controls_.Controls().empty()) {
        QString text = controls_.IsTestPicture() ? tr("A test picture has no controls to adjust.")
                                                 : tr("This camera has no controls.");
        if (!controls_.ListError().empty()) {
            qCWarning(lcCapture).noquote() << "the camera's controls cannot be read:" << controls_.ListError().c_str();
            text = tr("The camera's controls cannot be read: %1").arg(QString::fromStdString(controls_.ListError()));
        }
        auto* none = new QLabel(text, page);
        none->setWordWrap(true);
        form->addRow(none);
    }
    scroll->setWidget(page);
    layout->addWidget(scroll);
    error_label_ = new QLabel(this);
    error_label_->setWordWrap(true);
    error_label_->setStyleSheet(QStringLiteral("QLabel { color: #c01818; }"));
    error_label_->hide();
    layout->addWidget(error_label_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
    layout->addWidget(buttons);

    // As large as the controls ask, as far as the screen allows; beyond that the page scrolls.
    const QMargins margins = layout->contentsMargins();
    const int chrome_px = 2 * scroll->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll);
    const QSize page_size = page->sizeHint();
    const int title_px = TitleBarWidth(*this);  // the whole title shows
    const QSize wanted(std::max(title_px, margins.left() + page_size.width() + chrome_px + margins.right()),
                       margins.top() + page_size.height() + chrome_px + layout->spacing() +
                           buttons->sizeHint().height() + margins.bottom());
    const QScreen* shown_on = screen();
    resize(shown_on != nullptr ? wanted.boundedTo(shown_on->availableGeometry().size()) : wanted);
}

QString CCameraControlsDlg::DeviceError() const { return error_label_->isHidden() ? QString() : error_label_->text(); }

void CCameraControlsDlg::Apply(size_t index, int value) {
    std::string error;
    if (controls_.SetValue(index, value, error)) {
        error_label_->hide();
        return;
    }
    const QString label = QString::fromStdString(controls_.Controls()[index].label);
    qCWarning(lcCapture).noquote() << "the camera refused" << label << "=" << value << ":" << error.c_str();
    error_label_->setText(tr("The camera refused %1: %2").arg(label, QString::fromStdString(error)));
    error_label_->show();
}

void CCameraControlsDlg::AddControl(QFormLayout* form, size_t index) {
    const CameraControl& control = controls_.Controls()[index];
    QWidget* page = form->parentWidget();
    std::string error;
    const int current = controls_.Value(index, error).value_or(control.default_value);
    if (!error.empty())
        qCWarning(lcCapture).noquote() << "reading" << control.label.c_str() << "failed:" << error.c_str();

    auto* row = new QWidget(page);
    auto* row_layout = new QHBoxLayout(row);
    row_layout->setContentsMargins(0, 0, 0, 0);
    auto* reset = new QPushButton(tr("Default"), row);
    reset->setToolTip(tr("Back to %1").arg(control.default_value));
    const QString name = QString::fromStdString(control.label);
    row->setObjectName(name);
    // Each editor shows the value it applies; the reset button sets the editor, which applies it.
    switch (control.kind) {
        case CameraControlKind::kBoolean: {
            auto* box = new QCheckBox(row);
            box->setChecked(current != 0);
            connect(box, &QCheckBox::toggled, this, [this, index](bool on) { Apply(index, on ? 1 : 0); });
            connect(reset, &QPushButton::clicked, box, [box, control] { box->setChecked(control.default_value != 0); });
            row_layout->addWidget(box, 1);
            break;
        }
        case CameraControlKind::kMenu: {
            auto* box = new QComboBox(row);
            for (const auto& [value, text] : control.menu) {
                box->addItem(QString::fromStdString(text), value);
                if (value == current) box->setCurrentIndex(box->count() - 1);
            }
            connect(box, &QComboBox::activated, this,
                    [this, index, box](int item) { Apply(index, box->itemData(item).toInt()); });
            connect(reset, &QPushButton::clicked, box, [this, index, box, control] {
                const int item = box->findData(control.default_value);
                if (item < 0) return;
                box->setCurrentIndex(item);
                Apply(index, control.default_value);
            });
            row_layout->addWidget(box, 1);
            break;
        }
        case CameraControlKind::kInteger: {
            auto* slider = new QSlider(Qt::Horizontal, row);
            auto* number = new QSpinBox(row);
            slider->setRange(control.minimum, control.maximum);
            number->setRange(control.minimum, control.maximum);
            slider->setSingleStep(control.step);
            number->setSingleStep(control.step);
            slider->setValue(current);
            number->setValue(current);
            connect(slider, &QSlider::valueChanged, number, &QSpinBox::setValue);
            connect(number, &QSpinBox::valueChanged, slider, &QSlider::setValue);
            // One application per change, from the number whichever was moved.
            connect(number, &QSpinBox::valueChanged, this, [this, index](int value) { Apply(index, value); });
            connect(reset, &QPushButton::clicked, number,
                    [number, control] { number->setValue(control.default_value); });
            row_layout->addWidget(slider, 1);
            row_layout->addWidget(number);
            break;
        }
    }
    row_layout->addWidget(reset);
    form->addRow(name, row);
}
