#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <string>

#include "capture/capture_messages.h"

// Shows the capture object's messages in message boxes owned by a window. A message
// raised on another thread is queued to the user-interface thread, never waited for.
class CCaptureMessageBox : public QObject, public ICaptureMessages {
    Q_OBJECT
public:
    explicit CCaptureMessageBox(QWidget* owner);

    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;

private:
    void ShowOnUiThread(const QString& text, const QString& caption, MessageIcon icon);

    QPointer<QWidget> owner_;
};
