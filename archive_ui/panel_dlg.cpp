#include "archive_ui/panel_dlg.h"

CPanelDlg::CPanelDlg(QWidget* parent_view) : QDialog(parent_view) {}
CPanelDlg::~CPanelDlg() = default;
void CPanelDlg::SetView(IPlaybackView* view) { view_ = view; }
void CPanelDlg::SetArchives(const QStringList& paths) { archive_paths_ = paths; }
void CPanelDlg::OnPlay() {}
void CPanelDlg::OnPrevious() {}
void CPanelDlg::OnNext() {}
void CPanelDlg::OnHScroll() {}
void CPanelDlg::OnTimer() {}
void CPanelDlg::OnShot() {}
void CPanelDlg::OnConvertToAvi() {}
void CPanelDlg::OnClose() { hide(); }
void CPanelDlg::accept() { OnClose(); }
void CPanelDlg::reject() { OnClose(); }
void CPanelDlg::showEvent(QShowEvent* event) { QDialog::showEvent(event); }
