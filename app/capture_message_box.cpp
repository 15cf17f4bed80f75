#include "app/capture_message_box.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

CCaptureMessageBox::CCaptureMessageBox(QWidget* owner) : QObject(owner), owner_(owner) {}

void CCaptureMessageBox::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    const QString text_copy = QString::fromStdString(text);
    const QString caption_copy = QString::fromStdString(caption);
    if (QThread::currentThread() == thread()) {
        ShowOnUiThread(text_copy, caption_copy, icon);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, text_copy, caption_copy, icon] { ShowOnUiThread(text_copy, caption_copy, icon); },
        Qt::QueuedConnection);
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
    if (open_messages_.contains(key)) return;
    open_messages_.append(key);
    auto* box = new QMessageBox(box_icon, title, text, QMessageBox::Ok, owner_.data());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    connect(box, &QObject::destroyed, this, [this, key] { open_messages_.removeOne(key); });
    box->show();
}
