#include "agent_supervisor.h"

#include <QCoreApplication>

#include <csignal>

AgentSupervisor::AgentSupervisor(QString agentPath, QObject* parent)
    : QObject(parent), agentPath_(std::move(agentPath)) {}

AgentSupervisor::~AgentSupervisor() {
    if (!process_)
        return;
    // QProcess's own destructor would send SIGKILL; let the agent stop by itself instead.
    process_->disconnect(this);
    if (!signalled_)
        Signal(SIGTERM);
    process_->waitForFinished(-1);
}

QString AgentSupervisor::DefaultAgentPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Tarnwell Agent");
}

QStringList AgentSupervisor::Arguments(bool debug, bool reorganise) {
    QString option = QStringLiteral("-");
    if (debug)
        option += QLatin1Char('d');
    if (reorganise)
        option += QLatin1Char('r');
    return option.size() > 1 ? QStringList{option} : QStringList{};
}

bool AgentSupervisor::Running() const {
    return pending_ || (process_ && !signalled_);
}

void AgentSupervisor::Launch(bool debug) {
    if (Running())
        return;
    if (process_) {
        pending_ = true;
        pendingDebug_ = debug;
        return;
    }
    Start(debug);
}

void AgentSupervisor::Stop() {
    if (pending_)
        pending_ = false;
    else if (process_ && !signalled_)
        Signal(SIGINT);
}

void AgentSupervisor::Terminate() {
    pending_ = false;
    if (process_ && !signalled_)
        Signal(SIGTERM);
}

void AgentSupervisor::Start(bool debug) {
    process_ = std::make_unique<QProcess>();
    signalled_ = false;
    QProcess* process = process_.get();
    process->setProgram(agentPath_);
    process->setArguments(Arguments(debug, reorgReq_));
    reorgReq_ = false;
    // Standard input and error are the menu's own; only the status lines come through.
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The menu blocks its quit signals to read them in its event loop; the agent must
    // receive them.
    process->setChildProcessModifier([] {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_UNBLOCK, &all, nullptr);
    });
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, process] { emit output(process->readAllStandardOutput()); });
    connect(process, &QProcess::finished, this,
            [this, process](int, QProcess::ExitStatus status) { OnFinished(process, status); });
    connect(process, &QProcess::errorOccurred, this,
            [this, process](QProcess::ProcessError error) { OnError(process, error); });
    connect(process, &QProcess::started, this, &AgentSupervisor::launched);
    process->start(QIODevice::ReadOnly);
}

void AgentSupervisor::Signal(int signal) {
    signalled_ = true;
    // A process that is already gone is not an error: its end is on its way.
    if (const qint64 pid = process_->processId(); pid > 0)
        ::kill(static_cast<pid_t>(pid), signal);
}

void AgentSupervisor::OnFinished(QProcess* process, QProcess::ExitStatus status) {
    if (process != process_.get())
        return;
    if (const QByteArray rest = process->readAllStandardOutput(); !rest.isEmpty())
        emit output(rest);
    process_.release()->deleteLater();
    emit ended(status == QProcess::CrashExit);
    StartPending();
}

void AgentSupervisor::OnError(QProcess* process, QProcess::ProcessError error) {
    // Other errors of a started process end in finished().
    if (process != process_.get() || error != QProcess::FailedToStart)
        return;
    const QString reason = process->errorString();
    process_.release()->deleteLater();
    emit launchFailed(reason);
    StartPending();
}

void AgentSupervisor::StartPending() {
    if (!pending_ || process_)
        return;
    pending_ = false;
    Start(pendingDebug_);
}
