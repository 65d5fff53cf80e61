// The tray item as a person sees it, without a display: its images pixel by pixel, the
// menu's titles through a run, the Control-key extras and the alerts of its actions.
#include "menu_icons.h"
#include "menu_test_support.h"
#include "prefs.h"
#include "status_reader.h"
#include "tarnwell_menu.h"
#include "tray.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <unistd.h>

namespace {

constexpr int kWait = 10000;
constexpr int kSize = 22;

QStringList Titles(const QMenu* menu) {
    QStringList titles;
    for (const QAction* action : menu->actions())
        titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return titles;
}

// Runs action and returns the text of the alert it shows, which is then closed.
QString AlertOf(const std::function<void()>& action) {
    QString text;
    QTimer::singleShot(0, [&text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->windowTitle() + QLatin1Char('|') + box->text();
            box->accept();
        }
    });
    action();
    return text;
}

// A home of its own (the trace switch and the log live under it) with the given settings.
class Home {
public:
    explicit Home(std::initializer_list<std::pair<const char*, const char*>> values)
        : saved_(qgetenv("HOME")), settings_(folder_.Path().toStdString() + "/settings.plist") {
        qputenv("HOME", QFile::encodeName(folder_.Path()));
        prefs::Domain domain(settings_);
        for (const auto& [key, value] : values)
            domain.SetAppValue(key, std::string(value));
        domain.AppSynchronize();
    }
    ~Home() { qputenv("HOME", saved_); }
    const AgentFolder& folder() const { return folder_; }
    const std::string& settings() const { return settings_; }

private:
    AgentFolder folder_;
    QByteArray saved_;
    std::string settings_;
};

} // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        qunsetenv("FAKE_AGENT_MODE");
        qunsetenv("FAKE_AGENT_SUMMARY");
        qputenv("FAKE_AGENT_TICKS", "0");
    }
    void idleIconColours_data();
    void idleIconColours();
    void everyImageHasARim();
    void menuFollowsTheRun();
    void controlKeyExtras();
    void actionAlerts();
};

void TrayTest::idleIconColours_data() {
    QTest::addColumn<QColor>("color");
    QTest::newRow("normal") << QColor(Qt::black);
    QTest::newRow("retry") << StatusReader::Orange();
    QTest::newRow("skipped") << StatusReader::DarkRed();
}

// The idle icon is the base icon's silhouette in the summary colour, with a light rim.
void TrayTest::idleIconColours() {
    QFETCH(QColor, color);
    const QImage icon = menuicons::animateIcon(0, color).pixmap(kSize).toImage();
    QCOMPARE(icon.size(), QSize(kSize, kSize));
    QCOMPARE(icon.pixel(4, 11), color.rgb());        // inside the envelope
    QCOMPARE(icon.pixel(18, 15), color.rgb());       // inside the arrow head
    const QColor rim = icon.pixelColor(1, 8);       // just left of the envelope
    QVERIFY(rim.alpha() > 0);
    QVERIFY2(rim.red() > 200 && rim.green() > 200 && rim.blue() > 200, qPrintable(rim.name()));
    QCOMPARE(icon.pixelColor(0, 21).alpha(), 0);    // far from every shape
    // Every opaque pixel of the silhouette has exactly the colour.
    const QImage silhouette = menuicons::createMenuAlertIcon(menuicons::Render(0, kSize), color);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
            if (silhouette.pixelColor(x, y).alpha() == 255)
                QCOMPARE(silhouette.pixel(x, y), color.rgb());
}

// Frames, base and idle icons: distinct, and nothing drawn without a rim around it.
void TrayTest::everyImageHasARim() {
    QList<QImage> shown;
    for (int animateCtr = 0; animateCtr <= 5; ++animateCtr) {
        const QImage plain = animateCtr == 0 ? menuicons::createMenuAlertIcon(menuicons::Render(0, kSize), Qt::black)
                                             : menuicons::Render(animateCtr == 5 ? 0 : animateCtr, kSize);
        const QImage icon = menuicons::animateIcon(animateCtr, Qt::black).pixmap(kSize).toImage();
        for (int y = 0; y < kSize; ++y)
            for (int x = 0; x < kSize; ++x) {
                if (plain.pixelColor(x, y).alpha() == 0)
                    continue;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (icon.valid(x + dx, y + dy))
                            QVERIFY2(icon.pixelColor(x + dx, y + dy).alpha() > 0,
                                     qPrintable(QStringLiteral("frame %1 at %2,%3").arg(animateCtr).arg(x + dx).arg(y + dy)));
            }
        if (animateCtr >= 1 && animateCtr <= 4)
            for (const QImage& other : shown)
                QVERIFY(other != icon);
        shown << icon;
    }
    QCOMPARE(shown[5], menuicons::animateIcon(5, StatusReader::DarkRed()).pixmap(kSize).toImage());
}

// The item shows the status line and offers "Stop" while an agent runs, also when it is
// shown in the middle of a run; it goes back to "Get Mail" only when the agent has ended.
void TrayTest::menuFollowsTheRun() {
    Home home({{"showMenu", "1"}});
    qputenv("FAKE_AGENT_TICKS", "400");
    qputenv("FAKE_AGENT_SUMMARY", "   1 account skipped with errors");
    TarnwellMenu menu(home.folder().AgentPath(), home.settings());
    TarnwellTray tray(menu, home.folder().Path(), true, [] { return std::optional<bool>(false); });
    menu.applicationDidFinishLaunching();
    QVERIFY(tray.systemBar());
    QCOMPARE(Titles(tray.menuPtr()),
             QStringList({"Stopped", "-", "Get Mail", "Show Tarnwell Log", "-", "Open Tarnwell Preferences"}));
    QCOMPARE(tray.menuPtr()->title(), QStringLiteral("Tarnwell"));
    QVERIFY(!tray.menuPtr()->actions().first()->isEnabled());
    QCOMPARE(tray.animateCtr(), 0);

    QSignalSpy started(&menu, &TarnwellMenu::runStarted);
    menu.doGetMail();
    QVERIFY(started.wait(kWait));
    QVERIFY(QTest::qWaitFor([&] { return menu.status().AccountActive(); }, kWait));
    QCOMPARE(Titles(tray.menuPtr()).mid(0, 3), QStringList({"Forwarding mail for me@example.com", "-", "Stop"}));
    QVERIFY(QTest::qWaitFor([&] { return tray.animateCtr() == 2; }, kWait));

    // Hidden and shown again during the run.
    prefs::Domain domain(home.settings());
    domain.SetAppValue("showMenu", std::string("0"));
    QVERIFY(domain.AppSynchronize());
    menu.callbackWithControlNotification({{"control", "showMenu"}});
    QVERIFY(!tray.systemBar() && !tray.menuPtr());
    domain.SetAppValue("showMenu", std::string("1"));
    QVERIFY(domain.AppSynchronize());
    menu.callbackWithControlNotification({{"control", "showMenu"}});
    QVERIFY(tray.systemBar());
    QCOMPARE(tray.getItem()->text(), QStringLiteral("Stop"));
    QVERIFY(tray.animateCtr() > 0);

    QSignalSpy ended(&menu, &TarnwellMenu::runEnded);
    tray.getItem()->trigger();
    QCOMPARE(tray.getItem()->text(), QStringLiteral("Stop"));
    QVERIFY(ended.wait(kWait));
    QCOMPARE(tray.getItem()->text(), QStringLiteral("Get Mail"));
    QCOMPARE(tray.animateCtr(), 0);
    QCOMPARE(home.folder().Events("INT").size(), 1);
    QCOMPARE(menu.status().menuColor(), StatusReader::DarkRed());
    QVERIFY(!tray.showItem()->icon().isNull());
    QCOMPARE(tray.showItem()->icon().pixmap(16).toImage().pixel(8, 8), StatusReader::DarkRed().rgb());
}

// Held Control adds a separator, "Trace Log" and "Quit Menu" once however often the menu
// opens; released, they go; where the key cannot be read, they are always there.
void TrayTest::controlKeyExtras() {
    Home home({{"showMenu", "1"}});
    std::optional<bool> control = true;
    TarnwellMenu menu(home.folder().AgentPath(), home.settings());
    TarnwellTray tray(menu, home.folder().Path(), true, [&control] { return control; });
    menu.applicationDidFinishLaunching();
    const QStringList base = Titles(tray.menuPtr());
    const QStringList extended = base + QStringList({"-", "Trace Log", "Quit Menu"});
    for (int open = 0; open < 3; ++open) {
        tray.menuNeedsUpdate();
        QCOMPARE(Titles(tray.menuPtr()), extended);
    }
    QVERIFY(!tray.traceItem()->isChecked());
    const int savedStderr = ::dup(STDERR_FILENO);
    tray.traceItem()->trigger();
    tray.menuNeedsUpdate();
    QVERIFY(menu.debugReq() && tray.traceItem()->isChecked());
    menu.traceLog();
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);

    control = false;
    tray.menuNeedsUpdate();
    tray.menuNeedsUpdate();
    QCOMPARE(Titles(tray.menuPtr()), base);
    QVERIFY(!tray.traceItem());
    control = std::nullopt;
    tray.menuNeedsUpdate();
    QCOMPARE(Titles(tray.menuPtr()), extended);

    QSignalSpy quit(&menu, &TarnwellMenu::quitReady);
    tray.menuPtr()->actions().last()->trigger();
    QCOMPARE(quit.size(), 1);
}

void TrayTest::actionAlerts() {
    Home home({{"showMenu", "1"}});
    TarnwellMenu menu(home.folder().AgentPath(), home.settings());
    TarnwellTray tray(menu, home.folder().Path(), true, [] { return std::optional<bool>(false); });
    const QString log = home.folder().Path() + "/Library/Logs/Tarnwell.log";
    QCOMPARE(AlertOf([&] { tray.showLog(); }),
             "Tarnwell|The Console application could not be opened to view the log file. The file is located at " +
                 log + ".");
    const QString preferences = home.folder().Path() + "/Tarnwell Preferences";
    QCOMPARE(AlertOf([&] { tray.controlPanel(); }),
             "Tarnwell|Tarnwell Preferences could not be started. It is expected at " + preferences + ".");

    // Beside the menu, the window is started and no alert shows.
    QFile script(preferences);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\ntouch \"$0.started\"\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(AlertOf([&] { tray.controlPanel(); }), QString());
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(preferences + ".started"); }, kWait));
}

QTEST_MAIN(TrayTest)
#include "tray_test.moc"
