#pragma once

#include <QDialog>

#include "capture/gst_handles.h"

class QFormLayout;

// "Camera Filter...": the camera's controls, applied at once while the camera runs:
// its colour-balance channels and the writable properties of its source element.
class CCameraControlsDlg : public QDialog {
    Q_OBJECT
public:
    // camera: the camera element of the graph (an element or a bin around one).
    CCameraControlsDlg(GstElement* camera, QWidget* parent);

    // Number of controls offered; 0 shows a line saying so.
    int ControlCount() const { return control_count_; }

private:
    void AddColourBalance(QFormLayout* form);
    void AddProperties(QFormLayout* form);
    void AddProperty(QFormLayout* form, GParamSpec* param);

    GstObjectPtr<GstElement> balance_;     // implements GstColorBalance, may be empty
    GstObjectPtr<GstElement> properties_;  // the element whose properties are edited
    int control_count_ = 0;
};
