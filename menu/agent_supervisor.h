// Owns the agent process: one at a time, started with at most one option, stopped with
// one SIGINT, ended with one SIGTERM when the menu quits. A launch asked for while a
// stopped agent is still exiting waits for that exit, so two agents never work on the
// same mail index. The agent is never killed with SIGKILL: it stops at its next polling
// point, and its network waits are bounded.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class AgentSupervisor : public QObject {
    Q_OBJECT
public:
    // agentPath: the executable, normally DefaultAgentPath().
    explicit AgentSupervisor(QString agentPath, QObject* parent = nullptr);
    ~AgentSupervisor() override;

    // "Tarnwell Agent" beside the running executable.
    static QString DefaultAgentPath();
    // The option text: "-d" with tracing, "-r" to reorganise the index, both or none.
    static QStringList Arguments(bool debug, bool reorganise);

    // An agent works or is about to start: a stop would act on it.
    bool Running() const;
    // A process exists, running or still exiting after a stop.
    bool Busy() const { return process_ != nullptr; }

    // Starts the agent now, or once the exiting one has ended. The first launch of this
    // supervisor reorganises the index.
    void Launch(bool debug);
    // SIGINT to a working agent, or the cancellation of a launch that waits.
    void Stop();
    // SIGTERM to a working agent, and no launch afterwards.
    void Terminate();

signals:
    // The agent process has started.
    void launched();
    void output(const QByteArray& chunk);
    // The agent's process has ended, normally or not; its output is all delivered.
    void ended(bool crashed);
    // The agent could not be started; reason is for the user.
    void launchFailed(const QString& reason);

private:
    void Start(bool debug);
    void Signal(int signal);
    void OnFinished(QProcess* process, QProcess::ExitStatus status);
    void OnError(QProcess* process, QProcess::ProcessError error);
    void StartPending();

    QString agentPath_;
    bool reorgReq_ = true;
    std::unique_ptr<QProcess> process_;
    bool signalled_ = false;  // the current process was sent its stop signal
    bool pending_ = false;    // a launch waits for the current process to end
    bool pendingDebug_ = false;
};
