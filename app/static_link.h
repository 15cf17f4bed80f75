#pragma once

#include <QColor>
#include <QLabel>
#include <QString>

// A label that works as a hyperlink: underlined text in link blue, a pointing hand over
// it, and a click that opens its target with the desktop's handler. It takes the focus
// with Tab (drawn as a focus frame), and Enter or Space opens it as a click does. The text
// turns purple after the first successful open and stays so for the life of the object.
class CStaticLink : public QLabel {
    Q_OBJECT
public:
    static const QColor kUnvisitedColour;
    static const QColor kVisitedColour;

    explicit CStaticLink(QWidget* parent, const QString& target = QString());

    void SetTarget(const QString& target) { target_ = target; }
    const QString& Target() const { return target_; }
    const QColor& Colour() const { return colour_; }

    // What a click does: opens the target (the label's text when there is none);
    // true when the desktop accepted it. A failed open only beeps.
    bool OpenTarget();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void ApplyColour();

    QString target_;
    QColor colour_;
};
