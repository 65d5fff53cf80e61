#include "power_off.h"

#include <QDBusConnection>

namespace notify {

PowerOffWatcher::PowerOffWatcher(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected())
        bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForShutdown"), this,
                    SLOT(onPrepareForShutdown(bool)));
}

void PowerOffWatcher::onPrepareForShutdown(bool start) {
    // false announces that a shutdown was cancelled; the agent was stopped already.
    if (start)
        emit willPowerOff();
}

} // namespace notify
