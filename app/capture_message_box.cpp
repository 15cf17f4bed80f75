#include "app/capture_message_box.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>
#include <algorithm>

#include "capture/queued_calls.h"
#include "widgets/message_box_fit.h"

CCaptureMessageBox::CCaptureMessageBox(QWidget* owner)
    : QObject(owner), owner_(owner), from_other_threads_(new CQueuedCalls(this)) {}

void CCaptureMessageBox::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    const QString text_copy = QString::fromStdString(text);
    const QString caption_copy = QString::fromStdString(caption);
    if (QThread::currentThread() == thread()) {
        ShowOnUiThread(text_copy, caption_copy, icon);
        return;
    }
    from_other_threads_->Post([this, text_copy, caption_copy, icon] { ShowOnUiThread(text_copy, caption_copy, icon); });
}

void CCaptureMessageBox::ShowOnUiThread(const QString& text, const QString& caption, MessageIcon icon) {
    QMessageBox::Icon box_icon = QMessageBox::Critical;
    switch (icon) {
        case MessageIcon::kError: box_icon = QMessageBox::Critical; break;
        case MessageIcon::kWarning:
        case MessageIcon::kExclamation: box_icon = QMessageBox::Warning; break;
        case MessageIcon::kInformation: box_icon = QMessageBox::Information; break;
    }
    // An empty caption is the application's own message box.
    const QString title = caption.isEmpty() ? QCoreApplication::applicationName() : caption;
    const QString key = title + QLatin1Char('\n') + text;
    for (const OpenBox& open : open_boxes_) {
        if (open.key == key) return;
    }
    auto* box = new QMessageBox(box_icon, title, text, QMessageBox::Ok, owner_.data());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    open_boxes_.push_back({key, box});
    connect(box, &QObject::destroyed, this,
            [this, key] { std::erase_if(open_boxes_, [&key](const OpenBox& open) { return open.key == key; }); });
    FitMessageBoxText(*box);
    box->show();
    // In front of the window it belongs to, even when that window was just maximised.
    box->raise();
    box->activateWindow();
}

void CCaptureMessageBox::CloseMessages(const QString& caption) {
    for (const OpenBox& open : std::vector<OpenBox>(open_boxes_)) {
        if (open.box && open.box->windowTitle() == caption) open.box->close();
    }
}

QList<QMessageBox*> CCaptureMessageBox::OpenBoxes() const {
    QList<QMessageBox*> boxes;
    for (const OpenBox& open : open_boxes_) {
        if (open.box) boxes.append(open.box.data());
    }
    return boxes;
}
