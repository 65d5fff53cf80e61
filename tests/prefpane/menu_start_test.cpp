// The start-up chain with the real menu (a copy beside the fake agent, on this test's own
// session bus): a window in an empty home starts one menu and its login item and shows
// the menu's status; with a menu running it only asks for the status; windows and the
// session starting menus at the same moment leave one.
#include "menu_test_support.h"
#include "login_item.h"
#include "window_test_support.h"

#include <QElapsedTimer>
#include <QProcess>

#include <unistd.h>

namespace {

constexpr int kWait = 10000;

// A window over home whose programs are in folder; the menu counts as running when one
// of folder's runs (menus of other tests on this machine are not this test's).
struct Pane {
    Pane(const TestHome& home, const AgentFolder& folder) : around(folder.Path()) {
        around.menuRunning = [path = folder.Path()] { return !MenusIn(path).isEmpty(); };
        window = std::make_unique<TarnwellPreferencesPref>(home.SettingsPath().toStdString(), &alerts, around.pane);
    }
    // The menu's answer has arrived: its status and its summary.
    bool Answered() const {
        return window->statusTab()->appStatus()->text() == QLatin1String("Stopped") &&
               window->statusTab()->statSummary()->toPlainText() == QLatin1String("--");
    }
    Surroundings around;
    RecordingAlerts alerts;
    std::unique_ptr<TarnwellPreferencesPref> window;
};

} // namespace

class MenuStartTest : public QObject {
    Q_OBJECT
private slots:
    void emptyHomeStartsOneMenu();
    void runningMenuIsAskedOnly();
    void simultaneousStartsLeaveOneMenu();
};

void MenuStartTest::emptyHomeStartsOneMenu() {
    TestHome home;
    AgentFolder folder(true);
    MenusEnded ended(folder.Path());
    Pane pane(home, folder);
    pane.window->show();
    QElapsedTimer started;
    started.start();
    pane.window->mainViewDidLoad();

    QCOMPARE(MenusIn(folder.Path()).size(), 1);
    QVERIFY2(QTest::qWaitFor([&] { return pane.Answered(); }, kWait),
             qPrintable(pane.window->statusTab()->appStatus()->text()));
    qInfo("the menu's status and summary shown %lld ms after the set-up began", started.elapsed());
    QCOMPARE(pane.alerts.shown.size(), 0);
    QCOMPARE(home.Stored("showMenu"), QStringLiteral("1"));
    // The process table finds it by its command name, in any case.
    QVERIFY(getProcessPid(::geteuid(), QStringLiteral("TARNWELL MENU")) >= 0);

    const QString entry = home.Path() + QStringLiteral("/.config/autostart/com.vexlo.Tarnwell.Menu.desktop");
    QCOMPARE(loginItemPath(), entry);
    QCOMPARE(Output(QStringLiteral("desktop-file-validate"), {entry}), QString());
    QVERIFY(ReadBytes(entry).contains("\nExec=\"" + QFile::encodeName(folder.MenuPath()) + "\"\n"));
}

void MenuStartTest::runningMenuIsAskedOnly() {
    TestHome home;
    AgentFolder folder(true);
    MenusEnded ended(folder.Path());
    Requests requests;
    QStringList announced;
    notify::Notifications listen(notify::kMenuName, notify::kMenuObject);
    connect(&listen, &notify::Notifications::received, this,
            [&](const notify::UserInfo& info) { announced << info.value(notify::kMsgControlKey); });
    // Started as a launcher would that closes its output at once: the menu's later messages
    // must not end it.
    QProcess::startDetached(QStringLiteral("sh"),
                            {QStringLiteral("-c"), QStringLiteral("\"$0\" 2>&1 | true"), folder.MenuPath()});
    QVERIFY(QTest::qWaitFor([&] { return announced.contains("init"); }, kWait));
    const QList<pid_t> running = MenusIn(folder.Path());
    QCOMPARE(running.size(), 1);

    Pane pane(home, folder);
    pane.window->mainViewDidLoad();
    QVERIFY(QTest::qWaitFor([&] { return pane.Answered(); }, kWait));
    QCOMPARE(requests.seen, QStringList{"getStatus"});
    QCOMPARE(MenusIn(folder.Path()), running);
    QVERIFY(!QFile::exists(loginItemPath()));
    QCOMPARE(pane.alerts.shown.size(), 0);
}

// The process table cannot settle a race: two windows, or a window and the session's
// start-up, may each find no menu and start one. The menu's bus name lets one stay.
void MenuStartTest::simultaneousStartsLeaveOneMenu() {
    TestHome home;
    AgentFolder folder(true);
    MenusEnded ended(folder.Path());
    Pane first(home, folder);
    Pane second(home, folder);
    first.around.menuRunning = second.around.menuRunning = [] { return false; };
    first.window->mainViewDidLoad();
    second.window->mainViewDidLoad();
    QVERIFY(QTest::qWaitFor([&] { return MenusIn(folder.Path()).size() == 1; }, kWait));
    QVERIFY(QTest::qWaitFor([&] { return first.Answered() && second.Answered(); }, kWait));
    const QList<pid_t> survivor = MenusIn(folder.Path());
    QVERIFY(EndMenus(folder.Path()));

    // The session starts the menu from the login item while a window starts its own. The
    // launcher's output pipe closes when it ends; the menu it started writes there later.
    QProcess session;
    session.start(QStringLiteral("gio"), {QStringLiteral("launch"), loginItemPath()});
    Pane third(home, folder);
    third.around.menuRunning = [] { return false; };
    third.window->mainViewDidLoad();
    QVERIFY(session.waitForFinished(kWait));
    QCOMPARE(session.exitCode(), 0);
    QVERIFY(QTest::qWaitFor([&] { return MenusIn(folder.Path()).size() == 1; }, kWait));
    QVERIFY(QTest::qWaitFor([&] { return third.Answered(); }, kWait));
    QVERIFY(MenusIn(folder.Path()) != survivor);
    QCOMPARE(first.alerts.shown.size() + second.alerts.shown.size() + third.alerts.shown.size(), 0);
}

QTEST_MAIN(MenuStartTest)
#include "menu_start_test.moc"
