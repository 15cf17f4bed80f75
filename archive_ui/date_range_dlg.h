#pragma once

#include <QDialog>
#include <QRect>

#include "archive_ui/core/archive_catalogue.h"

class QDateEdit;

// Pixel rectangle of a dialog-template rectangle given in dialog units, from the
// average character size of the widget's font (x * width / 4, y * height / 8).
// Shared by the archive dialogs, which are laid out from their templates.
QRect DialogUnitsToPixels(const QWidget& dialog, int x, int y, int width, int height);

// "Select Date Range...": From and To pickers that both start at the present moment.
// OK stores the picked dates (time of day unchanged); Escape and the close box keep
// the initial values. There is no Cancel button.
class CDateRangeDlg : public QDialog {
    Q_OBJECT
public:
    explicit CDateRangeDlg(QWidget* parent = nullptr);
    ~CDateRangeDlg() override;

    const OleDateTime& From() const { return from_; }
    const OleDateTime& To() const { return to_; }
    // The days the catalogue compares.
    DayRange Range() const;

    QDateEdit* FromPicker() const { return from_picker_; }
    QDateEdit* ToPicker() const { return to_picker_; }

    void accept() override;

private:
    void LoadPickers();

    OleDateTime to_;
    OleDateTime from_;
    QDateEdit* from_picker_ = nullptr;
    QDateEdit* to_picker_ = nullptr;
};
