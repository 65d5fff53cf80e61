// The agent process: its options, one stop signal per stop, one agent at a time, and
// every way a run can end bringing the supervisor back to idle.
#include "agent_supervisor.h"
#include "menu_test_support.h"

#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int kWait = 10000;

// Waits until the agent has installed its stop handlers (it has written its first
// account status by then).
bool WaitUntilWorking(AgentSupervisor& agent) {
    QByteArray seen;
    auto connection = QObject::connect(&agent, &AgentSupervisor::output, [&seen](const QByteArray& chunk) { seen += chunk; });
    const bool working = QTest::qWaitFor([&seen] { return seen.contains("Getting mail list"); }, kWait);
    QObject::disconnect(connection);
    return working;
}

} // namespace

class SupervisorTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("FAKE_AGENT_MODE"); qputenv("FAKE_AGENT_TICKS", "200"); }
    void launchOptions();
    void oneSignalPerStopAndNoOverlap();
    void crashReturnsToIdle();
    void missingAgentReturnsToIdle();
    void destructionStopsTheAgentWithoutKilling();
};

// Only the first launch of a supervisor reorganises the index; tracing adds "d".
void SupervisorTest::launchOptions() {
    AgentFolder folder;
    qputenv("FAKE_AGENT_TICKS", "0");
    for (bool firstDebug : {false, true}) {
        AgentSupervisor agent(folder.AgentPath());
        QSignalSpy ended(&agent, &AgentSupervisor::ended);
        for (bool debug : {firstDebug, false, true}) {
            agent.Launch(debug);
            QVERIFY(ended.wait(kWait));
        }
    }
    const QStringList starts = folder.Events(QStringLiteral("start"));
    QCOMPARE(starts.size(), 6);
    const QStringList expected{"[-r]", "[]", "[-d]", "[-dr]", "[]", "[-d]"};
    for (int i = 0; i < 6; ++i)
        QVERIFY2(starts[i].endsWith(expected[i]), qPrintable(starts[i]));
}

// Stop, Stop again, Get Mail twice and a Stop of the waiting launch while the stopped
// agent is still exiting: one SIGINT, and the next agent starts only after the first
// has exited.
void SupervisorTest::oneSignalPerStopAndNoOverlap() {
    AgentFolder folder;
    AgentSupervisor agent(folder.AgentPath());
    QSignalSpy ended(&agent, &AgentSupervisor::ended);
    QSignalSpy launched(&agent, &AgentSupervisor::launched);
    agent.Launch(false);
    QVERIFY(WaitUntilWorking(agent));

    agent.Stop();
    QVERIFY(!agent.Running());
    QVERIFY(agent.Busy());
    agent.Stop();
    agent.Launch(false);
    QVERIFY(agent.Running());
    agent.Stop();  // cancels the waiting launch, sends nothing
    QVERIFY(!agent.Running());
    agent.Launch(false);
    agent.Launch(false);
    QVERIFY(ended.wait(kWait));
    QCOMPARE(ended.first().first().toBool(), false);
    QVERIFY(WaitUntilWorking(agent));
    QCOMPARE(launched.size(), 2);
    QCOMPARE(folder.StartsAndExits(), QStringList({"start", "exit", "start"}));
    QCOMPARE(folder.Events(QStringLiteral("INT")).size(), 1);

    agent.Stop();
    QVERIFY(ended.wait(kWait));
    QCOMPARE(folder.Events(QStringLiteral("INT")).size(), 2);
    QVERIFY(!agent.Busy());
    QVERIFY(!agent.Running());
}

void SupervisorTest::crashReturnsToIdle() {
    AgentFolder folder;
    qputenv("FAKE_AGENT_MODE", "crash");
    AgentSupervisor agent(folder.AgentPath());
    QSignalSpy ended(&agent, &AgentSupervisor::ended);
    QByteArray seen;
    connect(&agent, &AgentSupervisor::output, [&seen](const QByteArray& chunk) { seen += chunk; });
    agent.Launch(false);
    QVERIFY(ended.wait(kWait));
    QCOMPARE(ended.first().first().toBool(), true);
    // Output written before the crash is all delivered before the end.
    QVERIFY(seen.endsWith("Getting mail list\n"));
    QVERIFY(!agent.Busy());
    QVERIFY(folder.Events(QStringLiteral("exit")).isEmpty());
}

// A missing agent is reported, leaves nothing running, and the next launch is tried anew
// (with the reorganising option still spent: it was asked for once).
void SupervisorTest::missingAgentReturnsToIdle() {
    AgentFolder folder;
    AgentSupervisor agent(folder.Path() + QStringLiteral("/nothing here"));
    QSignalSpy failed(&agent, &AgentSupervisor::launchFailed);
    QSignalSpy ended(&agent, &AgentSupervisor::ended);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        agent.Launch(false);
        QVERIFY(failed.size() == attempt || failed.wait(kWait));
        QVERIFY(!failed.last().first().toString().isEmpty());
        QVERIFY(!agent.Busy());
        QVERIFY(!agent.Running());
    }
    QCOMPARE(ended.size(), 0);
}

void SupervisorTest::destructionStopsTheAgentWithoutKilling() {
    AgentFolder folder;
    {
        AgentSupervisor agent(folder.AgentPath());
        agent.Launch(false);
        QVERIFY(WaitUntilWorking(agent));
    }
    QCOMPARE(folder.Events(QStringLiteral("TERM")).size(), 1);
    QCOMPARE(folder.Events(QStringLiteral("exit")).size(), 1);
    QVERIFY(folder.Events(QStringLiteral("INT")).isEmpty());
}

QTEST_GUILESS_MAIN(SupervisorTest)
#include "supervisor_test.moc"
