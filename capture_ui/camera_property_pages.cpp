#include "capture_ui/camera_property_pages.h"

#include "capture_ui/camera_controls_dlg.h"
#include "capture_ui/camera_format_dlg.h"

std::optional<CameraFormat> CCameraPropertyPages::ChooseFormat(const std::vector<CameraFormat>& formats,
                                                               const CameraFormat& current) {
    CCameraFormatDlg dialog(formats, current, parent_);
    dialog.move(30, 30);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.SelectedFormat();
}

void CCameraPropertyPages::EditControls(GstElement* source) {
    CCameraControlsDlg dialog(source, parent_);
    dialog.move(30, 30);
    dialog.exec();
}
