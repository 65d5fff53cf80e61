// The desktop notification after a run with problems: which alerts of the agent's log
// it names, and that the menu raises exactly one after a run that skipped an account
// and none after a clean run, through a stand-in notification service on the bus.
#include "menu_test_support.h"
#include "run_alerts.h"
#include "tarnwell_menu.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>
#include <QVariantMap>

namespace {

constexpr int kWait = 10000;

// An alert block as the agent's log holds it: indented, lines ending in CR.
QByteArray Block(const char* account, const char* headline, const char* action) {
    return QByteArray("   -----\n   Tue Dec  8 10:00:00 2026\n   Account: ") + account +
           "\r\n   Status: Getting mail list\r\n   Message: " + headline +
           "\r\n   The server said: -ERR [AUTH] Authentication failed.\r\n   Action: " + action + "\n   -----\n";
}

// Stands in for the desktop's notification service on a connection of its own.
class NoticeService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    NoticeService() : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notices"))) {
        bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this, QDBusConnection::ExportAllSlots);
        registered = bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    ~NoticeService() override {
        bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("notices"));
    }
    bool registered = false;
    QStringList shown; // "summary|body"

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        shown << summary + QLatin1Char('|') + body;
        return uint(shown.size());
    }

private:
    QDBusConnection bus_;
};

// HOME pointed at a folder while it lives: the menu and the agents it starts read the log there.
class HomeAt {
public:
    explicit HomeAt(const QString& path) : saved_(qgetenv("HOME")) { qputenv("HOME", QFile::encodeName(path)); }
    ~HomeAt() { qputenv("HOME", saved_); }

private:
    QByteArray saved_;
};

} // namespace

class DesktopNoticeTest : public QObject {
    Q_OBJECT
private slots:
    void alertsThatEndedAnAccountOrTheRun_data();
    void alertsThatEndedAnAccountOrTheRun();
    void oneNoticeAfterARunWithProblems();
};

void DesktopNoticeTest::alertsThatEndedAnAccountOrTheRun_data() {
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("text");
    QTest::newRow("retried, then skipped: named once")
        << Block("ann@example.com", "Login failed.", "Retry account") + Block("ann@example.com", "Login failed.", "Skip to next account")
        << "ann@example.com: Login failed.";
    QTest::newRow("retried, then forwarded") << Block("ann@example.com", "Login failed.", "Retry account") << "";
    QTest::newRow("a note") << Block("ann@example.com", "Message 2 of 3 was refused by the SMTP server.", "Continue")
                            << "";
    QTest::newRow("critical, no account") << Block("", "SMTP Host not defined.", "Cancel") << "SMTP Host not defined.";
    QTest::newRow("two accounts, other lines between")
        << "Account 3 is skipped: no password.\n" + Block("a@example.com", "Connection refused.", "Skip to next account") +
               "   Tarnwell run completed\n" + Block("b@example.com", "Timed out.", "Skip to next account")
        << "a@example.com: Connection refused.\nb@example.com: Timed out.";
    QTest::newRow("cut before its action") << QByteArray("   Account: a@example.com\r\n   Message: Lost.\r\n") << "";
}

void DesktopNoticeTest::alertsThatEndedAnAccountOrTheRun() {
    QFETCH(QByteArray, log);
    QFETCH(QString, text);
    QCOMPARE(AlertsText(RunAlerts(log)), text);
}

// A run that skipped an account raises one notice naming it and the headline; only the
// log the run wrote counts, and a clean run raises none (a notice of its own would
// arrive before the next run's).
void DesktopNoticeTest::oneNoticeAfterARunWithProblems() {
    NoticeService service;
    QVERIFY(service.registered);
    AgentFolder folder;
    HomeAt home(folder.Path());
    QVERIFY(QDir(folder.Path()).mkpath(QStringLiteral("Library/Logs")));
    QFile old(folder.Path() + QStringLiteral("/Library/Logs/Tarnwell.log"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(Block("old@example.com", "An earlier run's error.", "Skip to next account"));
    old.close();
    qputenv("FAKE_AGENT_TICKS", "0");
    TarnwellMenu menu(folder.AgentPath(), folder.Path().toStdString() + "/settings.plist");
    QSignalSpy ended(&menu, &TarnwellMenu::runEnded);
    const auto run = [&](const char* summary, const QByteArray& alert) {
        qputenv("FAKE_AGENT_SUMMARY", summary);
        qputenv("FAKE_AGENT_ALERT", alert);
        menu.doGetMail();
        QVERIFY(ended.wait(kWait));
    };
    const QString title = QStringLiteral("Tarnwell: mail not forwarded|");

    run("   1 account skipped with errors", Block("me@example.com", "Login failed.", "Skip to next account"));
    QVERIFY(QTest::qWaitFor([&] { return !service.shown.isEmpty(); }, kWait));
    QCOMPARE(service.shown, QStringList{title + "me@example.com: Login failed."});

    run("", Block("me@example.com", "Login failed.", "Retry account"));
    run("   Critical error occurred", Block("", "SMTP Host not defined.", "Cancel"));
    QVERIFY(QTest::qWaitFor([&] { return service.shown.size() > 1; }, kWait));
    QCOMPARE(service.shown, (QStringList{title + "me@example.com: Login failed.", title + "SMTP Host not defined."}));
}
QTEST_MAIN(DesktopNoticeTest)
#include "desktop_notice_test.moc"
