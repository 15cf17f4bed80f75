#include "capture/gst_bus_watch.h"

#include <QSocketNotifier>

#include "capture/capture_log.h"

CGstBusWatch::CGstBusWatch(GstBus* bus, Handler handler, QObject* parent)
    : QObject(parent), bus_(ShareObject(bus)), handler_(std::move(handler)) {
    GPollFD poll_fd{};
    gst_bus_get_pollfd(bus_.get(), &poll_fd);
    if (poll_fd.fd < 0) {
        qCWarning(lcCapture) << "the bus gives no poll descriptor; its messages are read only on demand";
        return;
    }
    notifier_ = new QSocketNotifier(poll_fd.fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &CGstBusWatch::Drain);
}

CGstBusWatch::~CGstBusWatch() = default;

void CGstBusWatch::Drain() {
    while (handler_) {
        GstMessagePtr message(gst_bus_pop(bus_.get()));
        if (!message) break;
        // A copy, so that a handler which detaches the watch does not destroy itself while it runs.
        const Handler handler = handler_;
        handler(message.get());
    }
}

void CGstBusWatch::Detach() {
    handler_ = nullptr;
    if (notifier_) notifier_->setEnabled(false);
}
