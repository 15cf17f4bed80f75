#pragma once

#include <QMessageBox>

// Gives a message box's text the room it needs before the box is shown: the box is as wide as its
// whole title, a text that needs more than one line wraps at word boundaries, a word no line can
// hold (a long path) wraps inside itself, and the box grows with its longest word up to the width
// its screen allows. Called once the text, title and buttons are set, before show() or exec().
void FitMessageBoxText(QMessageBox& box);

// A modal message box with its text fitted; the button the user pressed.
QMessageBox::StandardButton ExecFittedMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                                 const QString& text,
                                                 QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                                 QMessageBox::StandardButton default_button = QMessageBox::NoButton);
