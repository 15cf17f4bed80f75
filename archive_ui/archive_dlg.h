#pragma once

#include <QDialog>
#include <QHash>
#include <QStringList>
#include <functional>
#include <string>

#include "archive_core/archive_catalogue.h"
#include "archive_ui/export_actions.h"

class CDayTimeline;
class QPushButton;
class QScrollArea;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// "Select Archive": asks for a date range, lists the archives of the days in it (newest
// first; a click on a column heading sorts by that column) and collects the full paths of
// the rows the user selects, in the order they were recorded. Above the list, a day timeline
// shows when each archive was recorded; a click on a block selects its row. "Export Video..."
// joins the selected archives into one video.
class CArchiveDlg : public QDialog {
    Q_OBJECT
public:
    // Supplies the From and To dates; by default the date range dialog is run.
    using DateRangeSource = std::function<DayRange()>;

    // storage_folder ends with '/'; archives are looked for in its day folders.
    explicit CArchiveDlg(const std::string& storage_folder, QWidget* parent = nullptr);
    ~CArchiveDlg() override;

    // Replaces the date range dialog (tests, command-line use). Call before the dialog is shown.
    void SetDateRangeSource(DateRangeSource source);
    // Where "Export Video..." opens and what it remembers; the dialog's own until set.
    void SetExportFolders(ExportFolders* folders);

    // Full paths of the selected rows in recording order, whatever the list's sort.
    const QStringList& SelectionList() const { return selection_list_; }
    // The rows as the list shows them; an index outside the list reads as an empty text.
    QString FullPath(int row) const;
    QString Name(int row) const;
    int RowCount() const;
    QTreeWidget* ListControl() const { return list_control_; }
    CDayTimeline* Timeline() const { return timeline_; }
    QPushButton* ExportVideoButton() const { return export_video_button_; }
    // Says that no archives were found; shown instead of rows.
    QLabel* EmptyLabel() const { return empty_label_; }

    // Builds the rows once; run automatically before the dialog first becomes visible.
    void OnInitDialog();
    // Shows these catalogue rows, sorted by the list's current column, and widens the
    // dialog so that whole names and dates show.
    void SetRows(const std::vector<CatalogueRow>& rows);

    void setVisible(bool visible) override;

    // A block of the timeline clicked: its row becomes the selection, or with Ctrl is added to
    // it or taken out.
    void OnTimelineBlockClicked(const QString& full_path, Qt::KeyboardModifiers modifiers);
    void OnExportVideo();
    // "Keep" of the list's context menu: pins the selected archives, or unpins them when all are
    // pinned already. Pinned rows carry a padlock and are never deleted to make room.
    void ToggleKeepSelected();
    bool IsRowPinned(int row) const;

private:
    void OnItemChanged();
    void OnItemActivated(QTreeWidgetItem* item);
    // Each column as wide as its widest text; the dialog widened to show them all.
    void FitColumns();
    void OnListContextMenu(const QPoint& position);

    std::string storage_folder_;
    DateRangeSource date_range_source_;
    bool is_initialised_ = false;
    QStringList selection_list_;
    QTreeWidget* list_control_ = nullptr;
    CDayTimeline* timeline_ = nullptr;
    QScrollArea* timeline_area_ = nullptr;
    QPushButton* export_video_button_ = nullptr;
    QLabel* empty_label_ = nullptr;
    // The first record of each listed archive whose times could be read, as an OLE date.
    QHash<QString, double> recorded_days_;
    ExportFolders own_folders_;
    ExportFolders* export_folders_ = &own_folders_;
};
