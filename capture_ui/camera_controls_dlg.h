#pragma once

#include <QDialog>

#include "capture/camera_controls.h"

class QFormLayout;
class QLabel;

// "Camera Filter...": the camera's own controls, applied at once while the camera runs, each
// over its real range with a button back to its default. Never the graph's properties.
class CCameraControlsDlg : public QDialog {
    Q_OBJECT
public:
    // camera: the camera element of the graph (an element or a bin around one).
    CCameraControlsDlg(GstElement* camera, QWidget* parent);

    // Number of controls offered; 0 shows a line saying so.
    int ControlCount() const { return static_cast<int>(controls_.Controls().size()); }
    // The last refusal of the device, shown under the controls; empty while there is none.
    QString DeviceError() const;

private:
    void AddControl(QFormLayout* form, size_t index);
    void Apply(size_t index, int value);

    CCameraControls controls_;
    QLabel* error_label_ = nullptr;
};
