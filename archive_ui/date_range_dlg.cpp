#include "archive_ui/date_range_dlg.h"

#include <QCalendarWidget>
#include <QDateEdit>
#include <QEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <ctime>

#include "platform/ole_date.h"
#include "widgets/dialog_units.h"

namespace {

QDate DateOf(const OleDateTime& value) {
    const auto fields = value.is_valid ? OleDateToCalendar(value.days) : std::nullopt;
    return fields ? QDate(fields->year, fields->month, fields->day) : QDate::currentDate();
}

DayDate DayOf(const QDate& date) { return DayDate{date.year(), date.month(), date.day()}; }

// The picked date with the time of day the value had before.
OleDateTime WithDate(const OleDateTime& value, const QDate& date) {
    const auto fields = value.is_valid ? OleDateToCalendar(value.days) : std::nullopt;
    CalendarTime time = fields ? *fields : CalendarTime{};
    time.year = date.year();
    time.month = date.month();
    time.day = date.day();
    return OleDateTime{CalendarToOleDate(time), true};
}

// Moves the picker's calendar, as it opens, so that its right edge lines up with the
// picker's (Qt lines up the left edges); the screen's edge still wins.
class RightAlignedCalendar : public QObject {
public:
    RightAlignedCalendar(QDateEdit* picker, QWidget* calendar_window) : QObject(picker), picker_(picker) {
        calendar_window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto* calendar = static_cast<QWidget*>(watched);
            const QRect available = picker_->screen()->availableGeometry();
            const int picker_right = picker_->mapToGlobal(QPoint(picker_->width(), 0)).x();
            const int rightmost_left = std::max(available.left(), available.right() + 1 - calendar->width());
            calendar->move(std::clamp(picker_right - calendar->width(), available.left(), rightmost_left),
                           calendar->y());
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QDateEdit* picker_;
};

QDateEdit* MakePicker(QWidget* parent) {
    auto* picker = new QDateEdit(parent);
    picker->setCalendarPopup(true);
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    // Two-digit years would make typed dates ambiguous.
    if (!format.contains(QStringLiteral("yyyy"))) format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    picker->setDisplayFormat(format);
    new RightAlignedCalendar(picker, picker->calendarWidget()->window());
    return picker;
}

}  // namespace

CDateRangeDlg::CDateRangeDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    const OleDateTime now = LocalOleDateTime(static_cast<long long>(std::time(nullptr)));
    to_ = now;
    from_ = now;

    setWindowTitle(tr("Select Date Range..."));
    setFixedSize(DialogUnitsToPixels(*this, 0, 0, 186, 87).size());

    auto* ok_button = new QPushButton(tr("OK"), this);
    ok_button->setGeometry(DialogUnitsToPixels(*this, 65, 66, 50, 14));
    ok_button->setDefault(true);
    connect(ok_button, &QPushButton::clicked, this, &CDateRangeDlg::accept);

    from_picker_ = MakePicker(this);
    from_picker_->setGeometry(DialogUnitsToPixels(*this, 35, 12, 144, 15));
    auto* from_label = new QLabel(tr("From:"), this);
    from_label->setGeometry(DialogUnitsToPixels(*this, 7, 15, 20, 8));

    to_picker_ = MakePicker(this);
    to_picker_->setGeometry(DialogUnitsToPixels(*this, 35, 37, 144, 15));
    auto* to_label = new QLabel(tr("To:"), this);
    to_label->setGeometry(DialogUnitsToPixels(*this, 8, 40, 12, 8));

    setTabOrder(ok_button, from_picker_);
    setTabOrder(from_picker_, to_picker_);
    LoadPickers();
}

CDateRangeDlg::~CDateRangeDlg() = default;

void CDateRangeDlg::LoadPickers() {
    to_picker_->setDate(DateOf(to_));
    from_picker_->setDate(DateOf(from_));
}

DayRange CDateRangeDlg::Range() const { return DayRange{DayOf(DateOf(from_)), DayOf(DateOf(to_))}; }

void CDateRangeDlg::accept() {
    to_ = WithDate(to_, to_picker_->date());
    from_ = WithDate(from_, from_picker_->date());
    QDialog::accept();
}
