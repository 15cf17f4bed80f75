#pragma once

#include <QObject>
#include <QString>
#include <string>
#include <vector>

#include "glib/gst_handles.h"

class CGstBusWatch;

// Keeps the device monitor running and follows video inputs as they come and go. The monitor's
// bus is watched on the thread that owns this object (the user-interface thread), where the
// signals are sent.
class CVideoDeviceWatcher : public QObject {
    Q_OBJECT
public:
    explicit CVideoDeviceWatcher(QObject* parent = nullptr);
    ~CVideoDeviceWatcher() override;

    // Starts the monitor (and GStreamer when needed); false, logged, when nothing can be watched.
    bool Start();
    bool IsStarted() const { return is_started_; }

    // The friendly names of the inputs present, in the capture object's lookup order.
    const std::vector<std::string>& CameraNames() const { return names_; }
    bool HasCamera(const std::string& name) const;

signals:
    void CameraAdded(const QString& name);
    void CameraRemoved(const QString& name);
    // After every addition or removal, once the list above is up to date.
    void CamerasChanged();

private:
    void OnBusMessage(GstMessage* message);
    void Relist();

    GstObjectPtr<GstDeviceMonitor> monitor_;
    CGstBusWatch* bus_watch_ = nullptr;
    bool is_started_ = false;
    std::vector<std::string> names_;
};
