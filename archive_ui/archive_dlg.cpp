#include "archive_ui/archive_dlg.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "archive_ui/archive_log.h"
#include "archive_ui/date_range_dlg.h"
#include "archive_ui/day_timeline_widget.h"
#include "archive_ui/export_actions.h"
#include "storage/retention.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box_fit.h"

namespace {

constexpr int kFileColumn = 0;
constexpr int kDateColumn = 1;
constexpr int kColumnCount = 3;
constexpr int kFullPathRole = Qt::UserRole;
// Days the timeline shows without scrolling.
constexpr int kTimelineShownDays = 4;
constexpr int kPinnedRole = Qt::UserRole + 1;

// A small padlock: the mark of a pinned ("Keep") archive.
QIcon PinnedMark() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x28, 0x2c, 0x34), 1.6));
    painter.drawArc(QRectF(4.5, 1.5, 7, 8), 0, 180 * 16);
    painter.drawLine(QPointF(4.5, 5.5), QPointF(4.5, 7.5));
    painter.drawLine(QPointF(11.5, 5.5), QPointF(11.5, 7.5));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xf0, 0xaa, 0x1e));
    painter.drawRoundedRect(QRectF(2.5, 7, 11, 8), 1.5, 1.5);
    return QIcon(pixmap);
}

void ShowPinned(QTreeWidgetItem& item, bool is_pinned) {
    item.setData(kFileColumn, kPinnedRole, is_pinned);
    item.setIcon(kFileColumn, is_pinned ? PinnedMark() : QIcon());
    item.setToolTip(kFileColumn, is_pinned
                                     ? QCoreApplication::translate("CArchiveDlg", "Kept: never deleted to make room")
                                     : QString());
}

// Orders texts with runs of digits taken by value, so "999.CNA" comes before "1000.CNA";
// the Date and Duration texts have fixed fields and come out in time order too.
bool IsNaturallyLess(QStringView left, QStringView right) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < left.size() && j < right.size()) {
        if (left[i].isDigit() && right[j].isDigit()) {
            const qsizetype left_start = i;
            const qsizetype right_start = j;
            while (i < left.size() && left[i].isDigit()) ++i;
            while (j < right.size() && right[j].isDigit()) ++j;
            // Same value: the same digits once leading zeros are gone.
            QStringView left_digits = left.sliced(left_start, i - left_start);
            QStringView right_digits = right.sliced(right_start, j - right_start);
            while (left_digits.size() > 1 && left_digits.front() == u'0') left_digits = left_digits.sliced(1);
            while (right_digits.size() > 1 && right_digits.front() == u'0') right_digits = right_digits.sliced(1);
            if (left_digits.size() != right_digits.size()) return left_digits.size() < right_digits.size();
            if (const int order = left_digits.compare(right_digits); order != 0) return order < 0;
            continue;
        }
        if (left[i] != right[j]) return left[i] < right[j];
        ++i;
        ++j;
    }
    return left.size() - i < right.size() - j;
}

class CatalogueItem : public QTreeWidgetItem {
public:
    explicit CatalogueItem(const QStringList& texts) : QTreeWidgetItem(texts) {}

    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : kFileColumn;
        return IsNaturallyLess(text(column), other.text(column));
    }
};

}  // namespace

CArchiveDlg::CArchiveDlg(const std::string& storage_folder, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      storage_folder_(storage_folder) {
    setWindowTitle(tr("Select Archive"));

    // Template order, which is the tab order: OK, Cancel, the list.
    auto* ok_button = new QPushButton(tr("OK"), this);
    ok_button->setDefault(true);
    connect(ok_button, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel_button = new QPushButton(tr("Cancel"), this);
    connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);
    const QSize button_size = DialogUnitsToPixels(*this, 0, 0, 50, 14).size();
    ok_button->setMinimumSize(button_size);
    cancel_button->setMinimumSize(button_size);

    list_control_ = new QTreeWidget(this);
    list_control_->setRootIsDecorated(false);
    list_control_->setItemsExpandable(false);
    list_control_->setUniformRowHeights(true);
    list_control_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_control_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_control_->setColumnCount(kColumnCount);
    list_control_->setHeaderLabels({tr("File"), tr("Date"), tr("Duration")});
    list_control_->header()->setSectionsMovable(false);
    list_control_->header()->setStretchLastSection(true);
    list_control_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_control_->setSortingEnabled(true);
    list_control_->sortByColumn(kDateColumn, Qt::DescendingOrder);
    connect(list_control_, &QTreeWidget::itemSelectionChanged, this, &CArchiveDlg::OnItemChanged);
    // Sorting moves rows without changing which are selected; the hand-over follows the new order.
    connect(list_control_->model(), &QAbstractItemModel::layoutChanged, this, &CArchiveDlg::OnItemChanged);
    list_control_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_control_, &QWidget::customContextMenuRequested, this, &CArchiveDlg::OnListContextMenu);
    // A double click or Enter plays that row; Enter then reaches OK as well.
    connect(list_control_, &QTreeWidget::itemActivated, this, &CArchiveDlg::OnItemActivated);
    empty_label_ = new QLabel(tr("No archives were found for these days."), this);
    empty_label_->setAlignment(Qt::AlignCenter);
    empty_label_->setWordWrap(true);
    empty_label_->hide();

    export_video_button_ = new QPushButton(tr("Export Video..."), this);
    export_video_button_->setMinimumSize(button_size);
    export_video_button_->setEnabled(false);
    connect(export_video_button_, &QPushButton::clicked, this, &CArchiveDlg::OnExportVideo);
    setTabOrder(cancel_button, export_video_button_);
    setTabOrder(export_video_button_, list_control_);

    timeline_ = new CDayTimeline(this);
    connect(timeline_, &CDayTimeline::BlockClicked, this, &CArchiveDlg::OnTimelineBlockClicked);
    timeline_area_ = new QScrollArea(this);
    timeline_area_->setWidget(timeline_);
    timeline_area_->setWidgetResizable(true);
    timeline_area_->setFrameShape(QFrame::NoFrame);
    timeline_area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    timeline_area_->setFocusPolicy(Qt::NoFocus);
    timeline_area_->hide();
    setTabOrder(list_control_, timeline_);

    auto* hint = new QLabel(tr("Use SHIFT and CONTROL to select more than one file."), this);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_button);
    buttons->addWidget(cancel_button);
    buttons->addWidget(export_video_button_);
    buttons->addStretch(1);
    auto* column = new QVBoxLayout(this);
    const int margin_px = DialogUnitsToPixels(*this, 0, 0, 7, 7).width();
    column->setContentsMargins(margin_px, margin_px, margin_px, margin_px);
    column->addWidget(timeline_area_);
    column->addWidget(list_control_, 1);
    column->addWidget(empty_label_);
    column->addWidget(hint);
    column->addLayout(buttons);
    resize(DialogUnitsToPixels(*this, 0, 0, 202, 221).size());
}

CArchiveDlg::~CArchiveDlg() = default;

void CArchiveDlg::SetDateRangeSource(DateRangeSource source) { date_range_source_ = std::move(source); }

void CArchiveDlg::SetExportFolders(ExportFolders* folders) {
    export_folders_ = folders != nullptr ? folders : &own_folders_;
}

QString CArchiveDlg::FullPath(int row) const {
    const QTreeWidgetItem* item = list_control_->topLevelItem(row);
    return item != nullptr ? item->data(kFileColumn, kFullPathRole).toString() : QString();
}

QString CArchiveDlg::Name(int row) const {
    const QTreeWidgetItem* item = list_control_->topLevelItem(row);
    return item != nullptr ? item->text(kFileColumn) : QString();
}

int CArchiveDlg::RowCount() const { return list_control_->topLevelItemCount(); }

void CArchiveDlg::setVisible(bool visible) {
    if (visible && !is_initialised_) OnInitDialog();
    QDialog::setVisible(visible);
    if (!visible) return;
    // The list is what the user came for: the arrow keys move in it from the start.
    list_control_->setFocus(Qt::ActiveWindowFocusReason);
    if (list_control_->currentItem() == nullptr && RowCount() > 0)
        list_control_->setCurrentItem(list_control_->topLevelItem(0), kFileColumn, QItemSelectionModel::NoUpdate);
}

void CArchiveDlg::OnInitDialog() {
    if (is_initialised_) return;
    is_initialised_ = true;

    DayRange range;
    if (date_range_source_) {
        range = date_range_source_();
    } else {
        // Whatever way the range dialog ends, its values are used: closed untouched it means today.
        CDateRangeDlg date_range(parentWidget());
        date_range.exec();
        range = date_range.Range();
    }
    std::vector<std::string> unlisted;
    SetRows(BuildCatalogue(storage_folder_, range, &unlisted));
    for (const std::string& problem : unlisted) qCWarning(lcArchive).noquote() << QString::fromLocal8Bit(problem);
}

void CArchiveDlg::SetRows(const std::vector<CatalogueRow>& rows) {
    list_control_->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const CatalogueRow& row : rows) {
        auto* item = new CatalogueItem(QStringList{QFile::decodeName(QByteArray::fromStdString(row.name)),
                                                   QString::fromStdString(row.date_text),
                                                   QString::fromStdString(row.duration_text)});
        item->setData(kFileColumn, kFullPathRole, QFile::decodeName(QByteArray::fromStdString(row.full_path)));
        ShowPinned(*item, IsArchivePinned(row.full_path));
        for (int column = 0; column < kColumnCount; ++column)
            item->setTextAlignment(column, Qt::AlignLeft | Qt::AlignVCenter);
        items.append(item);
    }
    list_control_->addTopLevelItems(items);
    timeline_->SetDays(BuildTimelineDays(rows));
    recorded_days_.clear();
    for (const TimelineDay& day : timeline_->Days()) {
        for (const TimelineBlock& block : day.blocks)
            recorded_days_.insert(QFile::decodeName(QByteArray::fromStdString(block.full_path)), block.times.first_day);
    }
    empty_label_->setVisible(rows.empty());
    timeline_area_->setVisible(!timeline_->Days().empty());
    timeline_area_->setFixedHeight(std::min(timeline_->HeightFor(static_cast<int>(timeline_->Days().size())),
                                            timeline_->HeightFor(kTimelineShownDays)));
    FitColumns();
}

void CArchiveDlg::FitColumns() {
    // Whole names and dates: each column as wide as its widest text, the dialog as wide as the
    // columns (the screen may still cut it down; then the list scrolls sideways).
    QHeaderView* header = list_control_->header();
    header->setStretchLastSection(false);
    int columns_px = 0;
    for (int column = 0; column < kColumnCount; ++column) {
        list_control_->resizeColumnToContents(column);
        columns_px += list_control_->columnWidth(column);
    }
    header->setStretchLastSection(true);
    const int list_chrome_px = 2 * list_control_->frameWidth() +
                               list_control_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list_control_);
    const QMargins margins = layout()->contentsMargins();
    // Wide enough for the columns, and for the timeline to tell the hours apart.
    const int content_px =
        std::max(columns_px + list_chrome_px, timeline_area_->isVisibleTo(this) ? timeline_->sizeHint().width() : 0);
    const int wanted_px = content_px + margins.left() + margins.right();
    if (wanted_px > width()) resize(wanted_px, height());
}

bool CArchiveDlg::IsRowPinned(int row) const {
    const QTreeWidgetItem* item = list_control_->topLevelItem(row);
    return item != nullptr && item->data(kFileColumn, kPinnedRole).toBool();
}

void CArchiveDlg::ToggleKeepSelected() {
    const QList<QTreeWidgetItem*> selected = list_control_->selectedItems();
    if (selected.isEmpty()) return;
    const bool is_pinning = !std::all_of(selected.begin(), selected.end(), [](const QTreeWidgetItem* item) {
        return item->data(kFileColumn, kPinnedRole).toBool();
    });
    QStringList failures;
    for (QTreeWidgetItem* item : selected) {
        const std::string path = QFile::encodeName(item->data(kFileColumn, kFullPathRole).toString()).toStdString();
        std::string error;
        if (!SetArchivePinned(path, is_pinning, &error)) failures.append(QString::fromStdString(error));
        ShowPinned(*item, IsArchivePinned(path));
    }
    // The timeline marks pinned archives too.
    std::vector<TimelineDay> days = timeline_->Days();
    for (TimelineDay& day : days) {
        for (TimelineBlock& block : day.blocks) block.is_pinned = IsArchivePinned(block.full_path);
    }
    timeline_->SetDays(std::move(days));
    FitColumns();  // the padlock takes room from the name
    if (!failures.isEmpty())
        ExecFittedMessageBox(this, QMessageBox::Warning, tr("Keep"), failures.join(QLatin1Char('\n')));
}

void CArchiveDlg::OnListContextMenu(const QPoint& position) {
    if (list_control_->selectedItems().isEmpty()) return;
    QMenu menu(this);
    QAction* keep = menu.addAction(tr("Keep"));
    keep->setCheckable(true);
    const QList<QTreeWidgetItem*> selected = list_control_->selectedItems();
    keep->setChecked(std::all_of(selected.begin(), selected.end(), [](const QTreeWidgetItem* item) {
        return item->data(kFileColumn, kPinnedRole).toBool();
    }));
    if (menu.exec(list_control_->viewport()->mapToGlobal(position)) == keep) ToggleKeepSelected();
}

void CArchiveDlg::OnItemChanged() {
    selection_list_.clear();
    for (int row = 0; row < list_control_->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = list_control_->topLevelItem(row);
        if (item->isSelected()) selection_list_.append(item->data(kFileColumn, kFullPathRole).toString());
    }
    // Played in the order recorded, whatever the list's sort: by the first record, then by name
    // (the name is the tick the archive began at); archives without a readable time go last.
    const auto time_of = [this](const QString& path) {
        const auto found = recorded_days_.constFind(path);
        return found != recorded_days_.cend() ? std::make_pair(0, found.value()) : std::make_pair(1, 0.0);
    };
    std::stable_sort(selection_list_.begin(), selection_list_.end(), [&](const QString& left, const QString& right) {
        const auto left_time = time_of(left);
        const auto right_time = time_of(right);
        if (left_time != right_time) return left_time < right_time;
        return IsNaturallyLess(QFileInfo(left).fileName(), QFileInfo(right).fileName());
    });
    timeline_->SetSelectedPaths(selection_list_);
    export_video_button_->setEnabled(!selection_list_.isEmpty());
}

void CArchiveDlg::OnTimelineBlockClicked(const QString& full_path, Qt::KeyboardModifiers modifiers) {
    for (int row = 0; row < list_control_->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = list_control_->topLevelItem(row);
        if (item->data(kFileColumn, kFullPathRole).toString() != full_path) continue;
        if (modifiers & Qt::ControlModifier) {
            item->setSelected(!item->isSelected());
        } else {
            list_control_->clearSelection();
            item->setSelected(true);
        }
        list_control_->setCurrentItem(item, kFileColumn, QItemSelectionModel::NoUpdate);
        list_control_->scrollToItem(item);
        return;
    }
}

void CArchiveDlg::OnItemActivated(QTreeWidgetItem* item) {
    if (item == nullptr) return;
    // A row outside the selection is played alone; one inside it plays the selection.
    if (!item->isSelected()) {
        list_control_->clearSelection();
        item->setSelected(true);
    }
    accept();
}

void CArchiveDlg::OnExportVideo() { RunVideoExport(this, selection_list_, *export_folders_); }
