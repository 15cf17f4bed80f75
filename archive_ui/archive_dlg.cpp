#include "archive_ui/archive_dlg.h"

CArchiveDlg::CArchiveDlg(const std::string& program_folder, QWidget* parent)
    : QDialog(parent), program_folder_(program_folder) {}
CArchiveDlg::~CArchiveDlg() = default;
void CArchiveDlg::SetDateRangeSource(DateRangeSource source) { date_range_source_ = std::move(source); }
QString CArchiveDlg::FullPath(int row) const { return full_paths_.value(row); }
QString CArchiveDlg::Name(int row) const { return names_.value(row); }
void CArchiveDlg::OnInitDialog() { is_initialised_ = true; }
void CArchiveDlg::setVisible(bool visible) { QDialog::setVisible(visible); }
void CArchiveDlg::OnItemChanged() {}
