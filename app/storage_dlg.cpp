#include "app/storage_dlg.h"

#include <unistd.h>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/storage_location.h"
#include "storage/byte_size.h"
#include "storage/retention.h"

namespace {

constexpr double kMinimumGb = 0.1;
constexpr double kMaximumGb = 1024.0 * 1024.0;

QString FromLocal(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
QString Text(const std::string& text) { return QString::fromStdString(text); }

QDoubleSpinBox* MakeGbBox(QWidget* parent) {
    auto* box = new QDoubleSpinBox(parent);
    box->setDecimals(1);
    box->setRange(kMinimumGb, kMaximumGb);
    box->setSingleStep(1.0);
    box->setSuffix(QCoreApplication::translate("CStorageDlg", " GB"));
    return box;
}

// A limit as the box shows it, and back; a limit that is off keeps the box's last value.
void ShowLimit(const std::optional<uint64_t>& bytes, QCheckBox* check, QDoubleSpinBox* box, double default_gb) {
    check->setChecked(bytes.has_value());
    box->setValue(bytes ? static_cast<double>(*bytes) / static_cast<double>(kBytesPerGiB) : default_gb);
    box->setEnabled(bytes.has_value());
    QObject::connect(check, &QCheckBox::toggled, box, &QWidget::setEnabled);
}

std::optional<uint64_t> LimitOf(const QCheckBox* check, const QDoubleSpinBox* box) {
    if (!check->isChecked()) return std::nullopt;
    return static_cast<uint64_t>(std::llround(box->value() * static_cast<double>(kBytesPerGiB)));
}

}  // namespace

CStorageDlg::CStorageDlg(std::string program_folder, const StorageSettings& settings, QWidget* parent)
    : QDialog(parent),
      program_folder_(std::move(program_folder)),
      chosen_folder_(settings.chosen_folder),
      chooser_([](QWidget* owner, const QString& start) {
          return QFileDialog::getExistingDirectory(owner, tr("Choose the folder for recordings"), start);
      }) {
    setWindowTitle(tr("Storage"));

    auto* place = new QGroupBox(tr("Recordings are kept in"), this);
    folder_label_ = new QLabel(place);
    folder_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    folder_label_->setWordWrap(true);
    source_label_ = new QLabel(place);
    source_label_->setWordWrap(true);
    usage_label_ = new QLabel(place);
    choose_button_ = new QPushButton(tr("&Choose..."), place);
    default_button_ = new QPushButton(tr("&Default"), place);
    connect(choose_button_, &QPushButton::clicked, this, &CStorageDlg::OnChoose);
    connect(default_button_, &QPushButton::clicked, this, &CStorageDlg::OnDefault);
    auto* place_buttons = new QHBoxLayout;
    place_buttons->addWidget(choose_button_);
    place_buttons->addWidget(default_button_);
    place_buttons->addStretch(1);
    auto* place_layout = new QVBoxLayout(place);
    place_layout->addWidget(folder_label_);
    place_layout->addWidget(source_label_);
    place_layout->addWidget(usage_label_);
    place_layout->addLayout(place_buttons);

    auto* retention = new QGroupBox(tr("Delete the oldest recordings to"), this);
    max_size_check_ = new QCheckBox(tr("Keep recordings &under"), retention);
    max_size_gb_ = MakeGbBox(retention);
    min_free_check_ = new QCheckBox(tr("Keep at &least"), retention);
    min_free_gb_ = MakeGbBox(retention);
    ShowLimit(settings.limits.max_total_bytes, max_size_check_, max_size_gb_, 100.0);
    ShowLimit(settings.limits.min_free_bytes, min_free_check_, min_free_gb_, 1.0);
    auto* note = new QLabel(tr("Archives marked \"Keep\" in the archive list are never deleted."), retention);
    note->setWordWrap(true);
    auto* grid = new QGridLayout(retention);
    grid->addWidget(max_size_check_, 0, 0);
    grid->addWidget(max_size_gb_, 0, 1);
    grid->addWidget(min_free_check_, 1, 0);
    grid->addWidget(min_free_gb_, 1, 1);
    grid->addWidget(new QLabel(tr("free"), retention), 1, 2);
    grid->addWidget(note, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* column = new QVBoxLayout(this);
    column->addWidget(place);
    column->addWidget(retention);
    column->addStretch(1);
    column->addWidget(buttons);
    Refresh();
}

StorageSettings CStorageDlg::Settings() const {
    StorageSettings settings;
    settings.chosen_folder = chosen_folder_;
    settings.limits.max_total_bytes = LimitOf(max_size_check_, max_size_gb_);
    settings.limits.min_free_bytes = LimitOf(min_free_check_, min_free_gb_);
    return settings;
}

void CStorageDlg::OnChoose() {
    const QString chosen = chooser_(this, FromLocal(folder_.path));
    if (chosen.isEmpty()) return;
    chosen_folder_ = QFile::encodeName(chosen).toStdString();
    Refresh();
}

void CStorageDlg::OnDefault() {
    chosen_folder_.clear();
    Refresh();
}

void CStorageDlg::Refresh() {
    folder_ = CurrentStorageFolder(program_folder_, chosen_folder_);
    folder_label_->setText(FromLocal(folder_.path));
    const bool is_beside_program = folder_.source == StorageFolderSource::kBesideProgram;
    switch (folder_.source) {
        case StorageFolderSource::kBesideProgram:
            source_label_->setText(
                tr("The folder Storage beside the program is used while it exists; move it away to choose another."));
            break;
        case StorageFolderSource::kChosen: source_label_->setText(tr("The folder you chose.")); break;
        case StorageFolderSource::kVideos: source_label_->setText(tr("The default, in your videos folder.")); break;
    }
    choose_button_->setEnabled(!is_beside_program);
    default_button_->setEnabled(!is_beside_program && !chosen_folder_.empty());

    uint64_t recorded_bytes = 0;
    int pinned = 0;
    const std::vector<StoredArchive> archives = ListStoredArchives(folder_.path);
    for (const StoredArchive& archive : archives) {
        recorded_bytes += archive.size_bytes;
        pinned += archive.is_pinned ? 1 : 0;
    }
    const std::optional<uint64_t> free_bytes = FreeBytes(folder_.path);
    const QString free_text = free_bytes ? Text(FormatByteSize(*free_bytes)) : tr("unknown");
    QString usage = tr("Free space: %1\nRecordings: %2 in %3 archive(s)")
                        .arg(free_text, Text(FormatByteSize(recorded_bytes)))
                        .arg(archives.size());
    if (pinned > 0) usage += tr(", %1 kept").arg(pinned);
    if (::access(folder_.path.c_str(), W_OK | X_OK) != 0) {
        usage += QLatin1Char('\n') + tr("This folder cannot be written to.");
    }
    usage_label_->setText(usage);
}
