#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "settings/settings.h"

class CVideoDeviceWatcher;
class CWndPickColor;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;

// "Properties...": camera, saving mode, detector display, colour and threshold.
// Saving mode, show detector, threshold and colour change the settings the moment the
// user acts; the camera name changes on OK only. One object is reused for every showing.
class CTwainSourcesDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kThresholdMin = 1;
    static constexpr int kThresholdMax = 100;

    // Lists the friendly names of the video input devices, in enumeration order.
    using CameraLister = std::function<std::vector<std::string>()>;

    CTwainSourcesDlg(QWidget* parent, CindralSettings& settings);
    ~CTwainSourcesDlg() override;

    // Replaces the device enumeration (the default lists real and test cameras).
    void SetCameraLister(CameraLister lister) { camera_lister_ = std::move(lister); }
    // Cameras are listed from the watcher, and the list follows them as they come and go
    // while the dialog is open.
    void SetDeviceWatcher(CVideoDeviceWatcher* watcher);

    // Lists the cameras afresh and shows the settings as they are now.
    void OnInitDialog();
    int exec() override;

    // Handlers, public for the main frame's tests.
    void UpdateOkButton();
    void OnShowDetector();
    void OnSaveOff();
    void OnSaveMotion();
    void OnSaveAlways();
    void OnHScroll();
    void OnOK();

    QComboBox* CameraList() const { return camera_list_; }
    QPushButton* OkButton() const { return ok_button_; }
    QPushButton* CancelButton() const { return cancel_button_; }
    QRadioButton* SavingButton(int mode) const;
    QCheckBox* ShowDetectorBox() const { return show_detector_box_; }
    CWndPickColor* ColourSwatch() const { return colour_swatch_; }
    QSlider* ThresholdSlider() const { return threshold_slider_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    // Lists the cameras afresh, keeping the one selected when it is still there.
    void RefreshCameraList();
    void FillCameraList(const std::vector<std::string>& names);
    void UpdateSavingTabStop();

    CindralSettings& settings_;
    CameraLister camera_lister_;

    QPushButton* ok_button_ = nullptr;
    QGroupBox* camera_group_ = nullptr;
    QComboBox* camera_list_ = nullptr;
    QPushButton* cancel_button_ = nullptr;
    QRadioButton* save_off_button_ = nullptr;
    QGroupBox* saving_group_ = nullptr;
    QRadioButton* save_motion_button_ = nullptr;
    QRadioButton* save_always_button_ = nullptr;
    QButtonGroup* saving_buttons_ = nullptr;
    QCheckBox* show_detector_box_ = nullptr;
    CWndPickColor* colour_swatch_ = nullptr;
    QLabel* threshold_label_ = nullptr;
    QSlider* threshold_slider_ = nullptr;
};
