#pragma once

#include <QEvent>
#include <QObject>
#include <functional>

class QThreadPool;

// Runs work on the thread that owns this object, posted from any thread, in the order posted.
// Each call travels as an event of its own, marked as handed over and received, so that
// ThreadSanitizer sees the order Qt's event queue gives (see platform/thread_handover.h).
// Calls still queued when this object goes are dropped.
class CQueuedCalls : public QObject {
public:
    explicit CQueuedCalls(QObject* parent) : QObject(parent) {}

    // Any thread.
    void Post(std::function<void()> work);
    // Owner's thread: runs the calls queued so far now, without waiting for the event loop.
    void RunPosted();

protected:
    bool event(QEvent* event) override;
};

// Starts work on a thread of pool, marked as handed over and received the same way.
void StartHandedOver(QThreadPool& pool, std::function<void()> work);
