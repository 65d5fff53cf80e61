// Tells when a tray host (a StatusNotifierWatcher with a registered host) becomes available
// on the session bus. Qt looks for one only once, when the first tray icon is made, so a
// host that starts after the menu (a panel restarted, an extension enabled) is only seen
// here.
#pragma once

#include <QDBusServiceWatcher>
#include <QObject>

namespace notify {

class TrayHostWatcher : public QObject {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QObject* parent = nullptr);

    // A watcher is on the bus and says a host is registered with it.
    static bool HostAvailable();

signals:
    void hostAvailable();

private slots:
    void check();

private:
    QDBusServiceWatcher services_;
};

} // namespace notify
