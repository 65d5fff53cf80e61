// The menu's state and behaviour without any display: supervising the agent, the
// automatic-forwarding timer, the settings it reads and the requests and messages it
// exchanges with the preferences window. The tray shows this state; it adds none.
#pragma once

#include "agent_supervisor.h"
#include "run_alerts.h"
#include "status_reader.h"

#include "notifications.h"
#include "power_off.h"
#include "prefs.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class TarnwellMenu : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    // agentPath: the agent executable; settingsPath: the preferences file; clock: the
    // current time (injectable so the interval arithmetic can be checked).
    TarnwellMenu(QString agentPath, std::string settingsPath, Clock clock = &QDateTime::currentDateTime,
                 QObject* parent = nullptr);

    // Start-up: listen for requests, announce "init", show the idle status and arm the
    // first automatic check 30 seconds ahead.
    void applicationDidFinishLaunching();
    // Powering off: one SIGTERM to a working agent, nothing launched after.
    void workspaceWillPowerOff();
    // Quitting: as powering off; quitReady follows once no agent process is left.
    void applicationWillTerminate();

    // "Get Mail"/"Stop".
    void doGetMail();
    void traceLog();
    void callbackWithControlNotification(const notify::UserInfo& userInfo);

    bool agentRunning() const { return agent_.Running(); }
    // An agent process exists, working or still exiting after a stop.
    bool agentBusy() const { return agent_.Busy(); }
    // Powering off or quitting: nothing is launched any more.
    bool endApp() const { return endApp_; }
    // "Get Mail" was asked for and its run is about to be launched.
    bool getMailPending() const { return getMailArmed_ && autoTimer_.isActive(); }
    const StatusReader& status() const { return status_; }
    bool debugReq() const { return debugReq_; }

signals:
    void quitReady();
    // The "showMenu" setting as last read: whether the tray item is wanted.
    void showMenuChanged(bool show);
    // statAcct/statMsg changed.
    void statusChanged();
    // An agent process started; its process ended (the run's summary colour is final) or
    // it could not be started.
    void runStarted();
    void runEnded();

private:
    void launchNoMore();
    void launchTarnwellAgent();
    void agentLaunched();
    void agentTerminated();
    void agentLaunchFailed(const QString& reason);
    // After a run that skipped an account or ended with a critical error: one desktop
    // notification naming the accounts and the errors' headlines.
    void notifyProblems();
    void setStoppedStatus();
    void setShowMenuOption();
    void setAutoFwdOption(double delay);
    void setAutoTime(double delay);
    // Seconds left of the interval since the last launch.
    double intervalDelay(const QDateTime& now) const;
    void setAutoTimer(double delay);
    void autoTimer();
    // Announces the status; while a message streams, at most every kStatusIntervalMs,
    // the latest one always going out before anything that follows it.
    void postStatus();
    void sendStatus();
    void flushStatus();
    // A status of the menu itself, account "None".
    void setOwnStatus(const QString& message);
    void postSummary();
    void postMenuMessage(const notify::UserInfo& userInfo);
    std::optional<QString> setting(const char* key) const;
    void synchronize();
    void debug_Print(const QString& text) const;

    Clock clock_;
    prefs::Domain settings_;
    notify::Notifications bus_;
    notify::PowerOffWatcher powerOff_;
    StatusReader status_;
    AgentSupervisor agent_;
    LogTail runLog_;
    QTimer autoTimer_;
    QTimer statusTimer_;
    QElapsedTimer statusPosted_;
    double lastCheck_ = 0;
    bool autoFwd_ = false;
    bool endApp_ = false;
    // The armed timer launches a requested run, not the interval's.
    bool getMailArmed_ = false;
    // Set by a quit, not by a power-off: the session ends the menu then.
    bool quitting_ = false;
    bool debugReq_ = false;
};
