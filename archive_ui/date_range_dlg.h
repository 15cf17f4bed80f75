#pragma once

#include <QDialog>

#include "archive_core/archive_catalogue.h"

class QDateEdit;

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
