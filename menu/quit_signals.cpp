#include "quit_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>

namespace {

sigset_t QuitSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void QuitSignals::Block() {
    const sigset_t set = QuitSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    const sigset_t set = QuitSet();
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        qWarning("Tarnwell Menu: quit signals cannot be read; they end the menu without stopping the agent.");
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &QuitSignals::Read);
}

QuitSignals::~QuitSignals() {
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

void QuitSignals::Read() {
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        emit requested(static_cast<int>(info.ssi_signo));
}
