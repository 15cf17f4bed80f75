#include "widgets/message_box_fit.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>
#include <algorithm>

#include "widgets/dialog_units.h"

namespace {

// No line break opportunity, but one drawn with no width: placed between the letters of a word
// that no line can hold, so that the word wraps where the line ends.
constexpr QChar kZeroWidthSpace(0x200B);

QString BreakableWord(const QString& word) {
    QString breakable;
    breakable.reserve(word.size() * 2);
    for (const QChar letter : word) {
        if (!breakable.isEmpty()) breakable += kZeroWidthSpace;
        breakable += letter;
    }
    return breakable;
}

}  // namespace

void FitMessageBoxText(QMessageBox& box) {
    auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (label == nullptr || label->textFormat() == Qt::RichText) return;
    const QScreen* screen = box.screen();
    if (box.parentWidget() != nullptr) screen = box.parentWidget()->screen();
    const int screen_px = screen != nullptr ? screen->availableGeometry().width() : 800;
    // The widths the message box keeps to when it sizes itself on show: beyond its soft limit the
    // text wraps, and nothing makes it wider than its hard limit.
    const int soft_limit_px = std::min(screen_px / 2, 500);
    const int hard_limit_px = screen_px <= 1024 ? screen_px : std::min(screen_px - 480, 1000);

    // The room beside the label: the margins, the icon and the spacing after it, and a frame.
    int beside_label_px = 2 * box.style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const QMargins margins = grid->contentsMargins();
        beside_label_px += margins.left() + margins.right() + std::max(0, grid->horizontalSpacing());
    }
    if (const auto* icon = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"))) {
        beside_label_px += icon->sizeHint().width();
    }
    const int most_label_px = std::max(1, hard_limit_px - beside_label_px);

    const QFontMetrics metrics(label->font());
    const QString text = label->text();
    int line_px = 0;
    int word_px = 0;
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        line_px = std::max(line_px, metrics.horizontalAdvance(line));
        QStringList words = line.split(QLatin1Char(' '));
        for (QString& word : words) {
            const int px = metrics.horizontalAdvance(word);
            if (px > most_label_px) {
                word = BreakableWord(word);
            } else {
                word_px = std::max(word_px, px);
            }
        }
        line = words.join(QLatin1Char(' '));
    }
    const int text_px = line_px <= soft_limit_px ? line_px : std::clamp(word_px, soft_limit_px, most_label_px);
    const int title_px = TitleBarWidth(box) - beside_label_px;
    label->setText(lines.join(QLatin1Char('\n')));
    label->setMinimumWidth(std::min(std::max(text_px, title_px), most_label_px) + 2 * label->margin());
}

QMessageBox::StandardButton ExecFittedMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                                 const QString& text, QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton default_button) {
    QMessageBox box(icon, title, text, buttons, parent);
    if (default_button != QMessageBox::NoButton) box.setDefaultButton(default_button);
    FitMessageBoxText(box);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}
