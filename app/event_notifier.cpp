#include "app/event_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QVariantMap>

#include "app/app_log.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

}  // namespace

CEventNotifier::CEventNotifier(QObject* parent, QDBusConnection bus) : QObject(parent), bus_(std::move(bus)) {
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
}

void CEventNotifier::NotifyEventStart(int64_t wall_ms, const QString& camera) {
    if (!bus_.isConnected()) {
        const QString failure = bus_.lastError().message();
        if (failure != last_failure_)
            qCWarning(lcApp).noquote() << "no desktop notification: no session bus:" << failure;
        last_failure_ = failure;
        return;
    }
    const QString time = QDateTime::fromMSecsSinceEpoch(wall_ms).toString(QStringLiteral("HH:mm:ss"));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Cindral") << last_id_ << QStringLiteral("cindral") << tr("Motion at %1").arg(time)
         << (camera.isEmpty() ? tr("Recording") : tr("Recording %1").arg(camera))
         << QStringList{QStringLiteral("default"), tr("Show Cindral")}
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral(CINDRAL_APP_ID)},
                        {QStringLiteral("category"), QStringLiteral("device")}}
         << int32_t{-1};
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<uint> reply = *finished;
        finished->deleteLater();
        if (reply.isError()) {
            const QString failure = reply.error().message();
            if (failure != last_failure_) qCWarning(lcApp).noquote() << "desktop notification refused:" << failure;
            last_failure_ = failure;
            return;
        }
        last_failure_.clear();
        last_id_ = reply.value();
    });
}

void CEventNotifier::OnActionInvoked(uint id, const QString& action_key) {
    if (id == last_id_ && last_id_ != 0 && action_key == QStringLiteral("default")) emit Activated();
}
