#pragma once

#include "capture/capture_graph.h"

class QWidget;

// The program's "Camera Pin..." and "Camera Filter..." pages: modal Qt dialogs.
class CCameraPropertyPages : public ICameraPropertyPages {
public:
    explicit CCameraPropertyPages(QWidget* parent) : parent_(parent) {}

    std::optional<CameraFormat> ChooseFormat(const std::vector<CameraFormat>& formats,
                                             const CameraFormat& current) override;
    void EditControls(GstElement* source) override;

private:
    QWidget* parent_;
};
