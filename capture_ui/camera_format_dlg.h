#pragma once

#include <QDialog>
#include <QString>
#include <optional>
#include <vector>

#include "capture/capture_graph.h"

class QListWidget;

// "Camera Pin...": the formats the camera offers, one per line; OK takes the selected one.
class CCameraFormatDlg : public QDialog {
    Q_OBJECT
public:
    CCameraFormatDlg(std::vector<CameraFormat> formats, const CameraFormat& current, QWidget* parent);

    // The selected format once accepted; empty when nothing is selected.
    std::optional<CameraFormat> SelectedFormat() const;
    QListWidget* FormatList() const { return format_list_; }

    // "640 x 480, 30 fps, video/x-raw, format=YUY2"
    static QString DescribeFormat(const CameraFormat& format);

private:
    std::vector<CameraFormat> formats_;
    QListWidget* format_list_;
};
