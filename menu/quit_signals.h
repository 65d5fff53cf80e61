// SIGTERM, SIGHUP and SIGINT to the menu, delivered in its event loop as quit requests
// (a logout or power-off ends the session's programs with them). The signals are
// blocked and read from a signalfd, so no handler runs inside arbitrary code.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Blocks the signals in the calling thread; call it first in main, before any
    // thread starts, so every thread inherits the mask. Children unblock them again.
    static void Block();

    // Needs the application object; without a signalfd the signals keep their default
    // action and a warning says so.
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void requested(int signal);

private:
    void Read();

    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};
