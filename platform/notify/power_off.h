// The machine is about to power off or reboot: logind's PrepareForShutdown(true) on the
// system bus. Where there is no system bus (containers, some tests) nothing is watched.
#pragma once

#include <QObject>

namespace notify {

class PowerOffWatcher : public QObject {
    Q_OBJECT
public:
    explicit PowerOffWatcher(QObject* parent = nullptr);

signals:
    void willPowerOff();

private slots:
    void onPrepareForShutdown(bool start);
};

} // namespace notify
