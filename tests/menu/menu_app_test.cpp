// The menu program itself, copied beside the fake agent: one per session, announced on
// the bus, and quitting on a signal with one SIGTERM to its agent, never a SIGKILL.
#include "menu_test_support.h"
#include "notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

namespace {

constexpr int kWait = 10000;

} // namespace

class MenuAppTest : public QObject {
    Q_OBJECT
private slots:
    void oneMenuPerSessionAndQuitBySignal();
    void powerOffStopsTheRun();
};

void MenuAppTest::oneMenuPerSessionAndQuitBySignal() {
    AgentFolder folder(true);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", folder.Path());
    env.insert("FAKE_AGENT_TICKS", "400");
    QStringList kinds;
    QStringList statuses;
    notify::Notifications pane(notify::kMenuName, notify::kMenuObject);
    connect(&pane, &notify::Notifications::received, [&](const notify::UserInfo& info) {
        kinds << info.value(notify::kMsgControlKey);
        statuses << info.value(notify::kStatMsgKey);
    });

    QProcess menu;
    menu.setProcessEnvironment(env);
    menu.setProcessChannelMode(QProcess::ForwardedChannels);
    menu.start(folder.MenuPath(), {});
    QVERIFY(QTest::qWaitFor([&] { return kinds.contains("init"); }, kWait));

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(folder.MenuPath(), {});
    QVERIFY(second.waitForFinished(kWait));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAllStandardError().contains("already running"));
    QCOMPARE(kinds.count("init"), 1);

    QVERIFY(pane.Post(notify::kControlName, notify::kControlObject, {{notify::kControlKey, "getMail"}}));
    QVERIFY(QTest::qWaitFor([&] { return statuses.contains("Getting mail list"); }, kWait));
    QCOMPARE(menu.state(), QProcess::Running);

    ::kill(static_cast<pid_t>(menu.processId()), SIGTERM);
    QVERIFY(menu.waitForFinished(kWait));
    QCOMPARE(menu.exitStatus(), QProcess::NormalExit);
    QCOMPARE(menu.exitCode(), 0);
    QCOMPARE(folder.Events("TERM").size(), 1);
    // The agent ran to its own end: it was not killed.
    QCOMPARE(folder.Events("exit").size(), 1);
    QCOMPARE(folder.Events("start").size(), 1);
}

// logind's announcement, played on the test bus standing in for the system bus: one
// SIGTERM to the agent, no launch afterwards, and the menu stays until it is ended.
void MenuAppTest::powerOffStopsTheRun() {
    AgentFolder folder(true);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", folder.Path());
    env.insert("FAKE_AGENT_TICKS", "400");
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", env.value("DBUS_SESSION_BUS_ADDRESS"));
    QDBusConnection logind = QDBusConnection::connectToBus(env.value("DBUS_SESSION_BUS_ADDRESS"), "logind");
    QVERIFY(logind.registerService("org.freedesktop.login1"));
    QStringList statuses;
    notify::Notifications pane(notify::kMenuName, notify::kMenuObject);
    connect(&pane, &notify::Notifications::received,
            [&](const notify::UserInfo& info) { statuses << info.value(notify::kStatMsgKey); });

    QProcess menu;
    menu.setProcessEnvironment(env);
    menu.setProcessChannelMode(QProcess::ForwardedChannels);
    menu.start(folder.MenuPath(), {});
    QVERIFY(menu.waitForStarted(kWait));
    QVERIFY(QTest::qWaitFor([&] { return statuses.contains("Stopped"); }, kWait));
    QVERIFY(pane.Post(notify::kControlName, notify::kControlObject, {{notify::kControlKey, "GETMAIL"}}));
    QVERIFY(QTest::qWaitFor([&] { return statuses.contains("Getting mail list"); }, kWait));

    QDBusMessage shutdown = QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                                       "PrepareForShutdown");
    shutdown << true;
    QVERIFY(logind.send(shutdown));
    QVERIFY(QTest::qWaitFor([&] { return folder.Events("exit").size() == 1; }, kWait));
    QCOMPARE(folder.Events("TERM").size(), 1);
    // A request after the announcement launches nothing.
    QVERIFY(pane.Post(notify::kControlName, notify::kControlObject, {{notify::kControlKey, "getMail"}}));
    QTest::qWait(1200);
    QCOMPARE(menu.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(menu.processId()), SIGTERM);
    QVERIFY(menu.waitForFinished(kWait));
    QCOMPARE(menu.exitCode(), 0);
    QCOMPARE(folder.Events("start").size(), 1);
    QCOMPARE(folder.Events("TERM").size(), 1);
    QDBusConnection::disconnectFromBus("logind");
}

QTEST_GUILESS_MAIN(MenuAppTest)
#include "menu_app_test.moc"
