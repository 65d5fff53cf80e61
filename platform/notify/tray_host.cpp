#include "tray_host.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>

namespace notify {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
// A watcher that does not answer must not hold up the menu.
constexpr int kCallTimeoutMs = 2000;

} // namespace

TrayHostWatcher::TrayHostWatcher(QObject* parent)
    : QObject(parent), services_(kWatcherService, QDBusConnection::sessionBus(),
                                 QDBusServiceWatcher::WatchForRegistration) {
    connect(&services_, &QDBusServiceWatcher::serviceRegistered, this, &TrayHostWatcher::check);
    // A watcher already running may get its host later.
    QDBusConnection::sessionBus().connect(kWatcherService, kWatcherPath, kWatcherService,
                                          QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(check()));
}

bool TrayHostWatcher::HostAvailable() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kWatcherService))
        return false;
    QDBusInterface watcher(kWatcherService, kWatcherPath, kWatcherService, bus);
    watcher.setTimeout(kCallTimeoutMs);
    return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

void TrayHostWatcher::check() {
    if (HostAvailable())
        emit hostAvailable();
}

} // namespace notify
