#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <cstdint>

// Desktop notifications of motion events through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Calls never wait for the service; a
// service that is missing or refuses is logged once per cause.
class CEventNotifier : public QObject {
    Q_OBJECT
public:
    // bus: the session bus, or another one (tests).
    explicit CEventNotifier(QObject* parent, QDBusConnection bus = QDBusConnection::sessionBus());

    // "Motion at 18:04:05" for an event that began at wall_ms, with a default action that
    // brings Cindral forward.
    void NotifyEventStart(int64_t wall_ms, const QString& camera);

signals:
    // The user clicked one of our notifications.
    void Activated();

private slots:
    void OnActionInvoked(uint id, const QString& action_key);

private:
    QDBusConnection bus_;
    uint last_id_ = 0;  // the id of our last notification, to replace it and to know its clicks
    QString last_failure_;
};
