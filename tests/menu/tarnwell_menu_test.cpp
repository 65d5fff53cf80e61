// The menu's behaviour on the session bus, without a display: requests of the
// preferences window, the messages it answers with, the automatic-forwarding timer on an
// injected clock, and the statuses every end of a run leaves.
#include "menu_test_support.h"
#include "notifications.h"
#include "prefs.h"
#include "tarnwell_menu.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

namespace {

constexpr int kWait = 10000;

// Plays the preferences window: sends control requests and records the menu's messages
// as "status acct|msg", "summary text" and "init".
class Pane : public QObject {
public:
    Pane() : bus_(notify::kMenuName, notify::kMenuObject) {
        connect(&bus_, &notify::Notifications::received, this, [this](const notify::UserInfo& info) {
            const QString kind = info.value(notify::kMsgControlKey);
            if (kind == QLatin1String("status"))
                messages << QStringLiteral("status %1|%2").arg(info.value(notify::kStatAcctKey), info.value(notify::kStatMsgKey));
            else if (kind == QLatin1String("summary"))
                messages << QStringLiteral("summary ") + info.value(notify::kStatSummaryKey);
            else
                messages << kind;
        });
        // A call answered by the bus arrives after the subscription made before it, so no
        // message sent from here on is missed.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
    }
    void Send(const QString& control) {
        QVERIFY(bus_.Post(notify::kControlName, notify::kControlObject, {{notify::kControlKey, control}}));
    }
    // Waits for a message starting with prefix and returns it; empty when none came.
    QString WaitFor(const QString& prefix) {
        QString found;
        (void)QTest::qWaitFor([&] {
            for (const QString& message : messages)
                if (message.startsWith(prefix))
                    found = message;
            return !found.isEmpty();
        }, kWait);
        return found;
    }
    QString LastStatus() const {
        const QStringList statuses = messages.filter(QRegularExpression("^status "));
        return statuses.isEmpty() ? QString() : statuses.last();
    }
    QStringList messages;

private:
    notify::Notifications bus_;
};

void WriteSettings(const QString& path, std::initializer_list<std::pair<const char*, const char*>> values) {
    prefs::Domain domain(path.toStdString());
    for (const auto& [key, value] : values)
        domain.SetAppValue(key, std::string(value));
    QVERIFY(domain.AppSynchronize());
}

QString ShortTime(int h, int m) {
    return QLocale().toString(QTime(h, m), QLocale::ShortFormat);
}

} // namespace

class TarnwellMenuTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("FAKE_AGENT_MODE"); qputenv("FAKE_AGENT_TICKS", "0"); }
    void getStatusAndControlValues();
    void nextCheckFromThePreviousLaunch_data();
    void nextCheckFromThePreviousLaunch();
    void runEnds_data();
    void runEnds();
    void missingAgentIsNotRetriedAtOnce();
    void streamingStatusIsThinned();
    void traceSwitch();
    void quitDuringARun();
};

// "getStatus" in any case gets the status and then the summary; unknown values nothing.
void TarnwellMenuTest::getStatusAndControlValues() {
    AgentFolder folder;
    TarnwellMenu menu(folder.AgentPath(), (folder.Path() + "/settings.plist").toStdString());
    Pane pane;
    menu.applicationDidFinishLaunching();
    // Sent and received on one connection within this process, the first two signals may
    // come back in either order; between two processes they keep it (the tray test).
    QVERIFY(!pane.WaitFor("status None|Stopped").isEmpty());
    QVERIFY(!pane.WaitFor("init").isEmpty());
    QStringList started = pane.messages;
    started.sort();
    QCOMPARE(started, QStringList({"init", "status None|Stopped"}));
    pane.messages.clear();
    pane.Send("bogus");
    pane.Send("getstatus");
    QVERIFY(!pane.WaitFor("summary").isEmpty());
    pane.Send("GETSTATUS");
    QVERIFY(QTest::qWaitFor([&] { return pane.messages.size() == 4; }, kWait));
    QCOMPARE(pane.messages, QStringList({"status None|Stopped", "summary --", "status None|Stopped", "summary --"}));

    // Settings changed by the window count once it says so; automatic forwarding switched
    // on before any run starts one at once.
    QSignalSpy showMenu(&menu, &TarnwellMenu::showMenuChanged);
    WriteSettings(folder.Path() + "/settings.plist", {{"showMenu", "1"}, {"autoFwd", "-1"}});
    pane.Send("SHOWMENU");
    QVERIFY(showMenu.wait(kWait));
    QCOMPARE(showMenu.last().first().toBool(), true);
    pane.messages.clear();
    pane.Send("autofwd");
    QVERIFY(!pane.WaitFor("status None|Stopped (Next check: ").isEmpty());
    QVERIFY(!pane.WaitFor("status None|Done (Next check: ").isEmpty());
    QVERIFY(!menu.agentRunning());
    WriteSettings(folder.Path() + "/settings.plist", {{"autoFwd", "0"}});
    pane.Send("autoFwd");
    QVERIFY(QTest::qWaitFor([&] { return pane.LastStatus() == "status None|Stopped"; }, kWait));
    QCOMPARE(folder.Events("start").size(), 1);

    // "GetMail" starts a run a second later.
    pane.messages.clear();
    pane.Send("GetMail");
    QVERIFY(!pane.WaitFor("summary Run completed").isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return folder.Events("start").size() == 2; }, kWait));
    QVERIFY(pane.messages.contains("status None|Done"));
    QVERIFY(!menu.agentRunning());
}

void TarnwellMenuTest::nextCheckFromThePreviousLaunch_data() {
    QTest::addColumn<QString>("autoTime");
    QTest::addColumn<QString>("nextCheck");
    QTest::newRow("15 minutes") << "15" << ShortTime(10, 15);
    QTest::newRow("0 is the shortest interval") << "0" << ShortTime(10, 10);
    QTest::newRow("text is the shortest interval") << "soon" << ShortTime(10, 10);
}

// Launched at 10:00 and finished at 10:03: the next check counts from 10:00.
void TarnwellMenuTest::nextCheckFromThePreviousLaunch() {
    QFETCH(QString, autoTime);
    AgentFolder folder;
    const QString settings = folder.Path() + "/settings.plist";
    WriteSettings(settings, {{"autoFwd", "1"}, {"autoTime", qPrintable(autoTime)}});
    // Start-up reads the clock at 9:59, the launch at 10:00, the end of the run at 10:03.
    const QDate day(2026, 1, 5);
    const QList<QDateTime> readings{{day, QTime(9, 59)}, {day, QTime(10, 0)}, {day, QTime(10, 3)}};
    qsizetype clockReadings = 0;
    TarnwellMenu menu(folder.AgentPath(), settings.toStdString(),
                      [&] { return readings.at(std::min(clockReadings++, readings.size() - 1)); });
    menu.applicationDidFinishLaunching();
    Pane pane;
    pane.Send("getMail");
    const QString status = pane.WaitFor("status None|Done (Next check:");
    QVERIFY2(!status.isEmpty(), qPrintable(pane.messages.join(" / ")));
    QTEST(status.section("Next check: ", 1).chopped(1), "nextCheck");
    QCOMPARE(clockReadings, 3);
}

void TarnwellMenuTest::runEnds_data() {
    QTest::addColumn<QString>("agent");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("lastStatus");
    QTest::newRow("normal end") << "fake" << "run" << "status None|Done";
    QTest::newRow("crash in an account") << "fake" << "crash" << "status None|Stopped";
    QTest::newRow("missing agent") << "missing" << "run" << "status None|Tarnwell Agent could not be started";
}

// Every end leaves the menu idle with a status saying how the run ended.
void TarnwellMenuTest::runEnds() {
    QFETCH(QString, agent);
    QFETCH(QString, mode);
    QFETCH(QString, lastStatus);
    qputenv("FAKE_AGENT_MODE", mode.toUtf8());
    AgentFolder folder;
    TarnwellMenu menu(agent == "fake" ? folder.AgentPath() : folder.Path() + "/missing",
                      (folder.Path() + "/settings.plist").toStdString());
    Pane pane;
    // Twice: idle again, "Get Mail" starts another attempt rather than stopping anything.
    for (int attempt = 0; attempt < 2; ++attempt) {
        pane.messages.clear();
        menu.doGetMail();
        QVERIFY(!pane.WaitFor(lastStatus).isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return !menu.agentRunning(); }, kWait));
        QVERIFY2(QTest::qWaitFor([&] { return pane.LastStatus().startsWith(lastStatus); }, kWait),
                 qPrintable(pane.LastStatus()));
    }
}

// A message's progress reported 2,000 times in a burst reaches the window thinned out, in
// order, and the run's last status always comes, before the summary that follows it.
void TarnwellMenuTest::streamingStatusIsThinned() {
    qputenv("FAKE_AGENT_MODE", "stream");
    AgentFolder folder;
    TarnwellMenu menu(folder.AgentPath(), (folder.Path() + "/settings.plist").toStdString());
    Pane pane;
    menu.doGetMail();
    QVERIFY(!pane.WaitFor("summary Run completed").isEmpty());
    const QStringList progress = pane.messages.filter("K sent)");
    QVERIFY2(!progress.isEmpty() && progress.size() < 1000, qPrintable(QString::number(progress.size())));
    int previous = 0;
    for (const QString& message : progress) {
        const int sent = message.section('(', 1).section('K', 0, 0).toInt();
        QVERIFY2(sent > previous, qPrintable(message));
        previous = sent;
    }
    const qsizetype done = pane.messages.indexOf("status None|Done");
    QVERIFY(done > pane.messages.indexOf(progress.last()));
    QVERIFY(pane.messages.size() > done + 1);
    QVERIFY2(pane.messages[done + 1].startsWith("summary Run completed"), qPrintable(pane.messages[done + 1]));
}

// With automatic forwarding on, a failed start waits out the whole interval like a run.
void TarnwellMenuTest::missingAgentIsNotRetriedAtOnce() {
    AgentFolder folder;
    const QString settings = folder.Path() + "/settings.plist";
    WriteSettings(settings, {{"autoFwd", "1"}, {"autoTime", "0"}});
    TarnwellMenu menu(folder.Path() + "/missing", settings.toStdString());
    Pane pane;
    pane.Send("autoFwd");
    QVERIFY(!pane.WaitFor("status None|Tarnwell Agent could not be started").isEmpty());
    // A retry loop would have failed again many times over by now.
    QTest::qWait(300);
    QCOMPARE(pane.messages.filter("could not be started").size(), 1);
    QCOMPARE(pane.LastStatus(), pane.messages.filter("could not be started").first());
}

// The trace switch sends the menu's standard error to the trace log (mode 0600) and
// adds "d" to the launches after it; the first launch also reorganises.
void TarnwellMenuTest::traceSwitch() {
    AgentFolder folder;
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(folder.Path()));
    const int savedStderr = ::dup(STDERR_FILENO);
    TarnwellMenu menu(folder.AgentPath(), (folder.Path() + "/settings.plist").toStdString());
    Pane pane;
    menu.traceLog();
    for (int run = 1; run <= 2; ++run) {
        menu.doGetMail();
        QVERIFY(!pane.WaitFor("summary Run completed").isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return !menu.agentRunning() && folder.Events("exit").size() == run; }, kWait));
        pane.messages.clear();
    }
    menu.traceLog();
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    qputenv("HOME", home);

    const QStringList starts = folder.Events("start");
    QCOMPARE(starts.size(), 2);
    QVERIFY2(starts[0].endsWith("[-dr]") && starts[1].endsWith("[-d]"), qPrintable(starts.join(", ")));
    QFile trace(folder.Path() + "/Library/Logs/Tarnwell Trace.log");
    QCOMPARE(trace.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup), QFile::Permissions());
    QVERIFY(trace.open(QIODevice::ReadOnly));
    const QByteArray traced = trace.readAll();
    QVERIFY(traced.contains("traceLog status: 1"));
    QVERIFY(traced.contains("autoTimer set"));
    // Switched off, it traces nothing more, not even that.
    QVERIFY(!traced.contains("traceLog status: 0"));
}

// Quitting sends one SIGTERM, lets the agent finish, then reports ready; no timer or
// request launches anything afterwards.
void TarnwellMenuTest::quitDuringARun() {
    qputenv("FAKE_AGENT_TICKS", "200");
    AgentFolder folder;
    const QString settings = folder.Path() + "/settings.plist";
    WriteSettings(settings, {{"autoFwd", "1"}});
    TarnwellMenu menu(folder.AgentPath(), settings.toStdString());
    QSignalSpy ready(&menu, &TarnwellMenu::quitReady);
    Pane pane;
    menu.doGetMail();
    QVERIFY(!pane.WaitFor("status me@example.com|Getting mail list").isEmpty());
    menu.applicationWillTerminate();
    menu.applicationWillTerminate();
    menu.doGetMail();
    QVERIFY(ready.wait(kWait));
    // The "Get Mail" timer would have fired after one second.
    QTest::qWait(1200);
    QCOMPARE(folder.Events("TERM").size(), 1);
    QCOMPARE(folder.Events("exit").size(), 1);
    QCOMPARE(folder.Events("start").size(), 1);
    QVERIFY(folder.Events("INT").isEmpty());
}

QTEST_GUILESS_MAIN(TarnwellMenuTest)
#include "tarnwell_menu_test.moc"
