#include "tarnwell_menu.h"

#include "auto_forward.h"

#include <QDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr double kFirstCheckDelay = 30.0;
constexpr double kGetMailDelay = 1.0;
// About 20 status messages a second are plenty for a window to show.
constexpr qint64 kStatusIntervalMs = 50;

double Seconds(const QDateTime& time) {
    return time.toMSecsSinceEpoch() / 1000.0;
}

} // namespace

TarnwellMenu::TarnwellMenu(QString agentPath, std::string settingsPath, Clock clock, QObject* parent)
    : QObject(parent), clock_(std::move(clock)), settings_(std::move(settingsPath)),
      bus_(notify::kControlName, notify::kControlObject), agent_(std::move(agentPath)), runLog_(AgentLogPath()) {
    autoTimer_.setSingleShot(true);
    statusTimer_.setSingleShot(true);
    connect(&statusTimer_, &QTimer::timeout, this, &TarnwellMenu::sendStatus);
    connect(&autoTimer_, &QTimer::timeout, this, &TarnwellMenu::autoTimer);
    connect(&bus_, &notify::Notifications::received, this, &TarnwellMenu::callbackWithControlNotification);
    connect(&powerOff_, &notify::PowerOffWatcher::willPowerOff, this, &TarnwellMenu::workspaceWillPowerOff);
    connect(&status_, &StatusReader::statusChanged, this, &TarnwellMenu::postStatus);
    connect(&status_, &StatusReader::statusChanged, this, &TarnwellMenu::statusChanged);
    connect(&status_, &StatusReader::summaryPosted, this, &TarnwellMenu::postSummary);
    connect(&agent_, &AgentSupervisor::launched, this, &TarnwellMenu::agentLaunched);
    connect(&agent_, &AgentSupervisor::output, &status_, &StatusReader::Feed);
    connect(&agent_, &AgentSupervisor::ended, this, &TarnwellMenu::agentTerminated);
    connect(&agent_, &AgentSupervisor::launchFailed, this, &TarnwellMenu::agentLaunchFailed);
    synchronize();
}

void TarnwellMenu::applicationDidFinishLaunching() {
    debug_Print(QStringLiteral("applicationDidFinishLaunching"));
    if (!bus_.Connected())
        qWarning("Tarnwell Menu: the session bus is not available; the preferences window cannot reach the menu.");
    postMenuMessage({{notify::kMsgControlKey, QStringLiteral("init")}});
    setShowMenuOption();
    status_.SetStatusQuietly(QStringLiteral("None"), QStringLiteral("Idle"));
    setAutoFwdOption(kFirstCheckDelay);
}

void TarnwellMenu::workspaceWillPowerOff() {
    debug_Print(QStringLiteral("NSWorkspaceWillPowerOff Notification: PrepareForShutdown"));
    launchNoMore();
}

void TarnwellMenu::applicationWillTerminate() {
    debug_Print(QStringLiteral("TarnwellMenu applicationWillTerminate"));
    quitting_ = true;
    flushStatus();
    launchNoMore();
    if (!agent_.Busy())
        emit quitReady();
}

void TarnwellMenu::launchNoMore() {
    endApp_ = true;
    autoTimer_.stop();
    agent_.Terminate();
}

void TarnwellMenu::doGetMail() {
    if (agent_.Running())
        agent_.Stop();
    else {
        setAutoTimer(kGetMailDelay);
        getMailArmed_ = true;
    }
}

void TarnwellMenu::traceLog() {
    debugReq_ = !debugReq_;
    if (debugReq_) {
        // The menu traces into the agent's trace log; standard error stays there after
        // tracing is switched off again.
        const QString library = QDir::homePath() + QStringLiteral("/Library");
        for (const QString& folder : {library, library + QStringLiteral("/Logs")})
            ::mkdir(QFile::encodeName(folder).constData(), 0700);
        const QByteArray path = QFile::encodeName(library + QStringLiteral("/Logs/Tarnwell Trace.log"));
        const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0)
            qWarning("Tarnwell Menu: the trace log %s could not be opened.", path.constData());
        if (fd >= 0)
            ::close(fd);
    }
    debug_Print(QStringLiteral("traceLog status: %1").arg(int(debugReq_)));
}

void TarnwellMenu::callbackWithControlNotification(const notify::UserInfo& userInfo) {
    const QString control = userInfo.value(notify::kControlKey);
    QStringList pairs;
    for (auto it = userInfo.cbegin(); it != userInfo.cend(); ++it)
        pairs << it.key() + QLatin1Char('=') + it.value();
    debug_Print(QStringLiteral("callbackWithControlNotification: {%1} controlKey: %2")
                    .arg(pairs.join(QStringLiteral(", ")), control));
    const auto is = [&control](const char* value) {
        return control.compare(QLatin1String(value), Qt::CaseInsensitive) == 0;
    };
    if (is("getMail")) {
        doGetMail();
    } else if (is("getStatus")) {
        sendStatus();
        postSummary();
    } else if (is("autoFwd")) {
        synchronize();
        setAutoFwdOption(0);
    } else if (is("showMenu")) {
        synchronize();
        setShowMenuOption();
    }
}

void TarnwellMenu::launchTarnwellAgent() {
    // The interval counts from the attempt, so an agent that cannot start is not retried
    // back to back either.
    lastCheck_ = Seconds(clock_());
    runLog_.Mark();
    agent_.Launch(debugReq_);
}

void TarnwellMenu::agentLaunched() {
    status_.ResetColor();
    emit runStarted();
}

void TarnwellMenu::agentTerminated() {
    debug_Print(QStringLiteral("TarnwellAgent terminated"));
    status_.Finish();
    // An agent that crashed or was killed never wrote its closing status.
    if (status_.AccountActive())
        setStoppedStatus();
    if (autoFwd_ && !endApp_)
        setAutoFwdOption(0);
    notifyProblems();
    emit runEnded();
    if (quitting_ && !agent_.Busy())
        emit quitReady();
}

void TarnwellMenu::notifyProblems() {
    if (status_.menuColor() != StatusReader::DarkRed())
        return;
    QString text = AlertsText(RunAlerts(runLog_.Read()));
    // An account skipped before it was tried (an unreadable record) left no alert: the
    // summary's own lines say what happened.
    if (text.isEmpty())
        text = status_.statSummary().section(QLatin1Char('\n'), 1).trimmed();
    NotifyDesktop(this, QStringLiteral("Tarnwell: mail not forwarded"), text);
}

void TarnwellMenu::agentLaunchFailed(const QString& reason) {
    setOwnStatus(QStringLiteral("Tarnwell Agent could not be started: %1").arg(reason));
    // The next automatic check is armed without a next-check status, which would hide why
    // this run did not happen.
    if (autoFwd_ && !endApp_)
        setAutoTimer(intervalDelay(clock_()));
    emit runEnded();
}

void TarnwellMenu::setStoppedStatus() {
    setOwnStatus(QStringLiteral("Stopped"));
    debug_Print(QStringLiteral("setAutoFwdOption statAcct: %1 statMsg: %2").arg(status_.statAcct(), status_.statMsg()));
}

void TarnwellMenu::setShowMenuOption() {
    const std::optional<QString> value = setting("showMenu");
    const bool show = autofwd::StrBool(value);
    debug_Print(QStringLiteral("showMenu value: %1 bool: %2").arg(value.value_or(QString()), QString::number(show)));
    emit showMenuChanged(show);
}

void TarnwellMenu::setAutoFwdOption(double delay) {
    autoFwd_ = autofwd::StrBool(setting("autoFwd"));
    if (autoFwd_) {
        if (!agent_.Running())
            setAutoTime(delay);
        return;
    }
    if (autoTimer_.isActive()) {
        autoTimer_.stop();
        debug_Print(QStringLiteral("Active autoTimer killed"));
    }
    if (!agent_.Running())
        setStoppedStatus();
}

void TarnwellMenu::setAutoTime(double delay) {
    const QDateTime now = clock_();
    if (delay <= 0)
        delay = intervalDelay(now);
    const QDateTime next = now.addMSecs(static_cast<qint64>(delay * 1000));
    debug_Print(QStringLiteral("Current time: %1").arg(now.toString(Qt::ISODate)));
    debug_Print(QStringLiteral("Next check time: %1").arg(next.toString(Qt::ISODate)));
    setAutoTimer(delay);
    setOwnStatus(autofwd::NextCheckStatus(status_.statMsg(), next));
    debug_Print(QStringLiteral("setAutoTime statAcct: %1 statMsg: %2").arg(status_.statAcct(), status_.statMsg()));
}

double TarnwellMenu::intervalDelay(const QDateTime& now) const {
    return autofwd::NextDelay(Seconds(now), lastCheck_, autofwd::IntervalMinutes(setting("autoTime")));
}

void TarnwellMenu::setAutoTimer(double delay) {
    getMailArmed_ = false;
    if (autoTimer_.isActive())
        debug_Print(QStringLiteral("Active autoTimer killed"));
    autoTimer_.start(static_cast<int>(delay * 1000));
    debug_Print(QStringLiteral("autoTimer set"));
}

void TarnwellMenu::autoTimer() {
    if (!agent_.Running() && !endApp_)
        launchTarnwellAgent();
}

void TarnwellMenu::postStatus() {
    const qint64 since = statusPosted_.isValid() ? statusPosted_.elapsed() : kStatusIntervalMs;
    if (since >= kStatusIntervalMs)
        sendStatus();
    else if (!statusTimer_.isActive())
        statusTimer_.start(static_cast<int>(kStatusIntervalMs - since));
}

void TarnwellMenu::setOwnStatus(const QString& message) {
    status_.SetStatus(QStringLiteral("None"), message);
    // The menu's own statuses are few and each tells something; none is thinned out.
    flushStatus();
}

void TarnwellMenu::flushStatus() {
    if (statusTimer_.isActive())
        sendStatus();
}

void TarnwellMenu::sendStatus() {
    statusTimer_.stop();
    statusPosted_.start();
    postMenuMessage({{notify::kMsgControlKey, QStringLiteral("status")},
                     {notify::kStatAcctKey, status_.statAcct()},
                     {notify::kStatMsgKey, status_.statMsg()}});
}

void TarnwellMenu::postSummary() {
    flushStatus();
    postMenuMessage({{notify::kMsgControlKey, QStringLiteral("summary")},
                     {notify::kStatSummaryKey, status_.statSummary()}});
}

void TarnwellMenu::postMenuMessage(const notify::UserInfo& userInfo) {
    if (bus_.Connected() && !bus_.Post(notify::kMenuName, notify::kMenuObject, userInfo))
        qWarning("Tarnwell Menu: a message to the preferences window could not be sent.");
}

std::optional<QString> TarnwellMenu::setting(const char* key) const {
    const std::optional<prefs::Value> value = settings_.CopyAppValue(key);
    if (!value || !std::holds_alternative<std::string>(*value))
        return std::nullopt;
    return QString::fromStdString(std::get<std::string>(*value));
}

void TarnwellMenu::synchronize() {
    if (!settings_.AppSynchronize() || !settings_.LastProblem().empty())
        qWarning("Tarnwell Menu: %s", settings_.LastProblem().c_str());
}

void TarnwellMenu::debug_Print(const QString& text) const {
    if (debugReq_)
        std::fprintf(stderr, "Tarnwell Menu: %s\n", text.toLocal8Bit().constData());
}
