#include "capture_ui/camera_format_dlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "widgets/dialog_units.h"

namespace {

bool IsSameFormat(const CameraFormat& a, const CameraFormat& b) {
    return a.width == b.width && a.height == b.height && a.media_type == b.media_type &&
           static_cast<int64_t>(a.rate_numerator) * b.rate_denominator ==
               static_cast<int64_t>(b.rate_numerator) * a.rate_denominator;
}

}  // namespace

CCameraFormatDlg::CCameraFormatDlg(std::vector<CameraFormat> formats, const CameraFormat& current, QWidget* parent)
    : QDialog(parent), formats_(std::move(formats)), format_list_(new QListWidget(this)) {
    setWindowTitle(tr("Camera Pin"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Output format of the camera:"), this));
    format_list_->setObjectName("formats");
    int current_row = -1;
    for (size_t i = 0; i < formats_.size(); ++i) {
        format_list_->addItem(DescribeFormat(formats_[i]));
        if (current_row < 0 && IsSameFormat(formats_[i], current)) current_row = static_cast<int>(i);
    }
    layout->addWidget(format_list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(format_list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    auto update_ok = [this, ok] { ok->setEnabled(format_list_->currentRow() >= 0); };
    connect(format_list_, &QListWidget::currentRowChanged, this, update_ok);
    if (current_row >= 0) format_list_->setCurrentRow(current_row);
    update_ok();
    // The list's entries are short; the title would be cut before them.
    const QScreen* shown_on = screen();
    const int title_px = TitleBarWidth(*this);
    setMinimumWidth(shown_on != nullptr ? std::min(title_px, shown_on->availableGeometry().width()) : title_px);
}

std::optional<CameraFormat> CCameraFormatDlg::SelectedFormat() const {
    const int row = format_list_->currentRow();
    if (row < 0 || row >= static_cast<int>(formats_.size())) return std::nullopt;
    return formats_[static_cast<size_t>(row)];
}

QString CCameraFormatDlg::DescribeFormat(const CameraFormat& format) {
    QString rate;
    if (format.rate_numerator <= 0 || format.rate_denominator <= 0) {
        rate = tr("variable rate");
    } else if (format.rate_numerator % format.rate_denominator == 0) {
        rate = tr("%1 fps").arg(format.rate_numerator / format.rate_denominator);
    } else {
        rate = tr("%1 fps").arg(static_cast<double>(format.rate_numerator) / format.rate_denominator, 0, 'f', 2);
    }
    return QStringLiteral("%1 x %2, %3, %4")
        .arg(format.width)
        .arg(format.height)
        .arg(rate, QString::fromStdString(format.media_type));
}
