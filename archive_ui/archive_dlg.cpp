#include "archive_ui/archive_dlg.h"

#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>

#include "archive_ui/date_range_dlg.h"

namespace {

// Column widths in pixels for the dialog font the layout was drawn with.
constexpr int kFileColumnWidth = 70;
constexpr int kDateColumnWidth = 130;
constexpr int kDurationColumnWidth = 70;
// Average letter width of that font (8 point at 96 dpi), in pixels.
constexpr double kTemplateAverageWidthPx = 6.0;

// The columns grow with the font like the rest of the dialog, so that the Date text fits.
double ColumnWidthScale(const QWidget& list) {
    const int average_width_px = DialogUnitsToPixels(list, 4, 0, 0, 0).x();
    return std::max(1.0, average_width_px / kTemplateAverageWidthPx);
}

}  // namespace

CArchiveDlg::CArchiveDlg(const std::string& program_folder, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      program_folder_(program_folder) {
    setWindowTitle(QStringLiteral("Select Archive"));
    setFixedSize(DialogUnitsToPixels(*this, 0, 0, 202, 221).size());

    auto* ok_button = new QPushButton(QStringLiteral("OK"), this);
    ok_button->setGeometry(DialogUnitsToPixels(*this, 48, 200, 50, 14));
    ok_button->setDefault(true);
    connect(ok_button, &QPushButton::clicked, this, &QDialog::accept);

    auto* cancel_button = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_button->setGeometry(DialogUnitsToPixels(*this, 103, 200, 50, 14));
    connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);

    list_control_ = new QTreeWidget(this);
    list_control_->setGeometry(DialogUnitsToPixels(*this, 7, 7, 188, 171));
    list_control_->setRootIsDecorated(false);
    list_control_->setItemsExpandable(false);
    list_control_->setUniformRowHeights(true);
    list_control_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_control_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_control_->setSortingEnabled(false);
    list_control_->header()->setSectionsClickable(false);
    list_control_->header()->setSectionsMovable(false);
    list_control_->header()->setStretchLastSection(false);
    list_control_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(list_control_, &QTreeWidget::itemSelectionChanged, this, &CArchiveDlg::OnItemChanged);

    auto* hint = new QLabel(QStringLiteral("Use SHIFT and CONTROL to select more than one file."), this);
    QRect hint_rect = DialogUnitsToPixels(*this, 7, 185, 174, 8);
    // Fonts here run wider than the template's; never cut the hint short.
    hint_rect.setWidth(std::max(hint_rect.width(), hint->sizeHint().width()));
    hint_rect.setHeight(std::max(hint_rect.height(), hint->sizeHint().height()));
    hint->setGeometry(hint_rect);
    const int margin_px = DialogUnitsToPixels(*this, 0, 0, 7, 0).width();
    if (hint_rect.right() + margin_px > width()) setFixedWidth(hint_rect.right() + margin_px);

    setTabOrder(ok_button, cancel_button);
    setTabOrder(cancel_button, list_control_);
}

CArchiveDlg::~CArchiveDlg() = default;

void CArchiveDlg::SetDateRangeSource(DateRangeSource source) { date_range_source_ = std::move(source); }

QString CArchiveDlg::FullPath(int row) const { return full_paths_.value(row); }
QString CArchiveDlg::Name(int row) const { return names_.value(row); }

void CArchiveDlg::setVisible(bool visible) {
    if (visible && !is_initialised_) OnInitDialog();
    QDialog::setVisible(visible);
}

void CArchiveDlg::OnInitDialog() {
    if (is_initialised_) return;
    is_initialised_ = true;

    list_control_->setColumnCount(3);
    list_control_->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Date"), QStringLiteral("Duration")});
    const double font_scale = ColumnWidthScale(*list_control_);
    list_control_->setColumnWidth(0, static_cast<int>(std::lround(kFileColumnWidth * font_scale)));
    list_control_->setColumnWidth(1, static_cast<int>(std::lround(kDateColumnWidth * font_scale)));
    list_control_->setColumnWidth(2, static_cast<int>(std::lround(kDurationColumnWidth * font_scale)));

    DayRange range;
    if (date_range_source_) {
        range = date_range_source_();
    } else {
        // Whatever way the range dialog ends, its values are used: closed untouched it means today.
        CDateRangeDlg date_range(parentWidget());
        date_range.exec();
        range = date_range.Range();
    }

    const std::vector<CatalogueRow> rows = BuildCatalogue(program_folder_, range);
    full_paths_.clear();
    names_.clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const CatalogueRow& row : rows) {
        const QString name = QFile::decodeName(QByteArray::fromStdString(row.name));
        full_paths_.append(QFile::decodeName(QByteArray::fromStdString(row.full_path)));
        names_.append(name);
        auto* item = new QTreeWidgetItem(
            QStringList{name, QString::fromStdString(row.date_text), QString::fromStdString(row.duration_text)});
        for (int column = 0; column < 3; ++column) item->setTextAlignment(column, Qt::AlignLeft | Qt::AlignVCenter);
        items.append(item);
    }
    list_control_->addTopLevelItems(items);
}

void CArchiveDlg::OnItemChanged() {
    selection_list_.clear();
    for (int row = 0; row < names_.size(); ++row) {
        const QTreeWidgetItem* item = list_control_->topLevelItem(row);
        if (item != nullptr && item->isSelected()) selection_list_.append(full_paths_.value(row));
    }
}
