#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the user-interface thread: the handler only
// writes a byte into a pipe, whose read end a socket notifier watches. One per process.
class CShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit CShutdownSignals(QObject* parent);
    ~CShutdownSignals() override;
    CShutdownSignals(const CShutdownSignals&) = delete;
    CShutdownSignals& operator=(const CShutdownSignals&) = delete;

    // False when the pipe or the handlers could not be set up (see ErrorText).
    bool IsInstalled() const { return is_installed_; }
    const QString& ErrorText() const { return error_text_; }

signals:
    void ShutdownRequested(int signal_number);

private:
    void OnReadable();

    bool is_installed_ = false;
    QString error_text_;
    QSocketNotifier* notifier_ = nullptr;
};
