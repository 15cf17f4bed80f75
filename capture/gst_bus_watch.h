#pragma once

#include <QObject>
#include <functional>

#include "glib/gst_handles.h"

class QSocketNotifier;

// Brings a bus's messages to the thread that owns this object (the user-interface thread): a
// notifier on the bus's poll descriptor wakes the Qt event loop, which pops every queued
// message and hands it on. Nothing runs on the streaming threads.
class CGstBusWatch : public QObject {
public:
    using Handler = std::function<void(GstMessage* message)>;

    CGstBusWatch(GstBus* bus, Handler handler, QObject* parent = nullptr);
    ~CGstBusWatch() override;

    // Hands on what is queued now, without waiting for the event loop. The handler may
    // Detach this watch; nothing is handed on after that.
    void Drain();
    // Stops handing messages on; the owner then deletes the watch later, never from inside
    // its own handler.
    void Detach();

private:
    GstObjectPtr<GstBus> bus_;
    Handler handler_;
    QSocketNotifier* notifier_ = nullptr;
};
