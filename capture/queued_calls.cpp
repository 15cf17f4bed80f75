#include "capture/queued_calls.h"

#include <QCoreApplication>
#include <QRunnable>
#include <QThreadPool>

#include "platform/thread_handover.h"

namespace {

const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class CallEvent : public QEvent {
public:
    explicit CallEvent(std::function<void()> work) : QEvent(kCallEvent), work_(std::move(work)) {}
    // Also when Qt drops the event unrun: its work is destroyed on the receiving thread.
    ~CallEvent() override { MarkReceived(this); }
    void Run() { work_(); }

private:
    std::function<void()> work_;
};

class HandedTask : public QRunnable {
public:
    explicit HandedTask(std::function<void()> work) : work_(std::move(work)) { setAutoDelete(true); }
    ~HandedTask() override { MarkReceived(this); }
    void run() override {
        MarkReceived(this);
        work_();
    }

private:
    std::function<void()> work_;
};

}  // namespace

void CQueuedCalls::Post(std::function<void()> work) {
    auto* call = new CallEvent(std::move(work));
    MarkHandedOver(call);
    QCoreApplication::postEvent(this, call);
}

void CQueuedCalls::RunPosted() { QCoreApplication::sendPostedEvents(this, kCallEvent); }

bool CQueuedCalls::event(QEvent* event) {
    // Before the first read of the event, whatever it is.
    MarkReceived(event);
    if (event->type() != kCallEvent) return QObject::event(event);
    static_cast<CallEvent*>(event)->Run();
    return true;
}

void StartHandedOver(QThreadPool& pool, std::function<void()> work) {
    auto* task = new HandedTask(std::move(work));
    MarkHandedOver(task);
    pool.start(task);
}
