#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "capture/capture_messages.h"

class CQueuedCalls;
class QMessageBox;

// Shows the capture object's messages in message boxes owned by a window. The boxes do not
// block: the camera is tried again and recording goes on while one is open, and a message
// that is already on show is not shown a second time. A message raised on another thread is
// queued to the user-interface thread, never waited for.
class CCaptureMessageBox : public QObject, public ICaptureMessages {
    Q_OBJECT
public:
    explicit CCaptureMessageBox(QWidget* owner);

    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
    // Closes every box on show under caption: its cause has ended.
    void CloseMessages(const QString& caption);
    // The boxes on show, oldest first.
    QList<QMessageBox*> OpenBoxes() const;

private:
    void ShowOnUiThread(const QString& text, const QString& caption, MessageIcon icon);

    QPointer<QWidget> owner_;
    CQueuedCalls* from_other_threads_;  // a child
    struct OpenBox {
        QString key;  // caption and text
        QPointer<QMessageBox> box;
    };
    std::vector<OpenBox> open_boxes_;
};
