// The tray item as a panel sees it: the real menu on an X server of its own, its item and
// menu read over the private session bus through a stand-in StatusNotifierWatcher hosted
// here. Qt reports a tray only when such a watcher, with a host registered, is on the bus
// when the menu starts; a watcher that comes later makes the menu start afresh.
#include "menu_test_support.h"
#include "notifications.h"
#include "prefs.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

constexpr int kWait = 15000;
constexpr int kCallMs = 5000;
// ctest's SKIP_RETURN_CODE for this program.
constexpr int kSkipped = 77;

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

// One node of a dbusmenu layout, (ia{sv}av) with the children as variants of the same.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;
};

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuNode& node) {
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        MenuNode childNode;
        child.variant().value<QDBusArgument>() >> childNode;
        node.children << childNode;
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

// A label as a person reads it: a single "_" marks the mnemonic, "__" is an underscore.
QString Plain(QString label) {
    label.replace(QLatin1String("__"), QStringLiteral("\x01"));
    label.remove(QLatin1Char('_'));
    label.replace(QLatin1Char('\x01'), QLatin1Char('_'));
    return label;
}

// The menu's items as "-" for a separator and the plain label otherwise.
QStringList Titles(const MenuNode& root) {
    QStringList titles;
    for (const MenuNode& item : root.children)
        titles << (item.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")
                       ? QStringLiteral("-")
                       : Plain(item.properties.value(QStringLiteral("label")).toString()));
    return titles;
}

// Stands in for the panel's watcher: declares a host, records the items that register.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
public:
    // The object goes on the bus before the name: whoever sees the name can introspect it.
    FakeWatcher() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        registered_ = bus.registerObject(kWatcherPath, this, QDBusConnection::ExportAllContents) &&
                      bus.registerService(kWatcherService);
    }
    ~FakeWatcher() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(kWatcherService);
        bus.unregisterObject(kWatcherPath);
    }

    bool Registered() const { return registered_; }
    bool IsStatusNotifierHostRegistered() const {
        ++hostQueries;
        return true;
    }
    int ProtocolVersion() const { return 0; }
    QStringList RegisteredStatusNotifierItems() const { return items; }

    // What each item passed, and the bus connection it came from.
    QStringList items;
    QStringList senders;
    QStringList hosts;
    mutable int hostQueries = 0;

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        items << service;
        senders << message.service();
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString& service) {
        hosts << service;
        emit StatusNotifierHostRegistered();
    }

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    bool registered_ = false;
};

// Plays the preferences window: records the kinds of the menu's messages in order, and
// the status texts.
class Pane {
public:
    Pane() : bus_(notify::kMenuName, notify::kMenuObject) {
        QObject::connect(&bus_, &notify::Notifications::received, [this](const notify::UserInfo& info) {
            kinds_ << info.value(notify::kMsgControlKey);
            if (kinds_.last() == QLatin1String("status"))
                statuses_ << info.value(notify::kStatMsgKey);
            else if (kinds_.last() == QLatin1String("summary"))
                statusAtSummary_ = statuses_.value(statuses_.size() - 1);
        });
    }
    bool Send(const QString& control) {
        return bus_.Post(notify::kControlName, notify::kControlObject, {{notify::kControlKey, control}});
    }
    bool WaitForStatus(const QString& statMsg) {
        return QTest::qWaitFor([&] { return statuses_.contains(statMsg); }, kWait);
    }
    // A run ends with its last status and then the summary.
    bool WaitForRunEnd(const QString& lastStatus) {
        return QTest::qWaitFor([&] { return statusAtSummary_ == lastStatus; }, kWait);
    }
    // Waits for a start-up to finish ("init", then its first status), then asks for the
    // status: the kinds of the messages that come back.
    QStringList StatusAnswers() {
        const auto started = [this] {
            const qsizetype init = kinds_.indexOf(QStringLiteral("init"));
            return init >= 0 && kinds_.indexOf(QStringLiteral("status"), init) > init;
        };
        if (!QTest::qWaitFor(started, kWait))
            return {QStringLiteral("no start-up")};
        return AnswersNow();
    }
    // Asks for the status at once: the kinds of every message from now until the answers.
    QStringList AnswersNow() {
        kinds_.clear();
        if (!Send(QStringLiteral("getStatus")))
            return {QStringLiteral("not sent")};
        (void)QTest::qWaitFor([this] { return kinds_.contains(QStringLiteral("summary")); }, kWait);
        return kinds_;
    }

private:
    notify::Notifications bus_;
    QStringList kinds_;
    QStringList statuses_;
    QString statusAtSummary_;
};

// The real menu, copied beside the fake agent, with the tray item wanted; ended with
// SIGTERM however the test ends.
class MenuChild {
public:
    MenuChild() {
        const QString preferences = folder_.Path() + QStringLiteral("/Library/Preferences/com.vexlo.Tarnwell.plist");
        prefs::Domain settings(preferences.toStdString());
        settings.SetAppValue("showMenu", std::string("1"));
        written_ = settings.AppSynchronize();
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("HOME"), folder_.Path());
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
    }
    ~MenuChild() {
        if (process_.state() == QProcess::NotRunning)
            return;
        ::kill(Pid(), SIGTERM);
        if (!process_.waitForFinished(kWait))
            process_.kill();
        process_.waitForFinished(kWait);
    }

    const AgentFolder& Folder() const { return folder_; }
    QProcessEnvironment& Environment() { return env_; }
    QProcess& Process() { return process_; }

    bool Start(const QStringList& arguments = {}) {
        if (!written_)
            return false;
        process_.setProcessEnvironment(env_);
        process_.start(folder_.MenuPath(), arguments);
        return process_.waitForStarted(kWait);
    }
    pid_t Pid() const { return static_cast<pid_t>(process_.processId()); }
    // The program and arguments the process runs with now.
    QList<QByteArray> CommandLine() const {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(Pid()));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return file.readAll().split('\0');
    }
    bool Running() const { return process_.state() == QProcess::Running; }
    // Processes running our copy of the menu, wherever they came from.
    int Instances() const {
        const QString program = QFileInfo(folder_.MenuPath()).canonicalFilePath();
        int count = 0;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool numeric = false;
            (void)entry.toInt(&numeric);
            if (numeric && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)) == program)
                ++count;
        }
        return count;
    }

private:
    AgentFolder folder_{true};
    QProcessEnvironment env_;
    QProcess process_;
    bool written_ = false;
};

QDBusMessage Call(const QString& service, const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments = {}) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    // The menu may call back into this process (the watcher) while it answers.
    return QDBusConnection::sessionBus().call(call, QDBus::BlockWithGui, kCallMs);
}

QVariant ItemProperty(const QString& service, const QString& name) {
    const QDBusMessage reply = Call(service, QStringLiteral("/StatusNotifierItem"),
                                    QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {kItemInterface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qWarning() << "property" << name << reply.errorMessage();
        return {};
    }
    return reply.arguments().first().value<QDBusVariant>().variant();
}

// Pixels that show (alpha above 0) in the largest image of IconPixmap, a(iiay) of ARGB32
// images in network byte order; -1 when an image's data does not fit its size.
int VisiblePixels(const QVariant& value) {
    QByteArray largest;
    const QDBusArgument argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray data;
        argument.beginStructure();
        argument >> width >> height >> data;
        argument.endStructure();
        if (width <= 0 || height <= 0 || data.size() != qsizetype(width) * height * 4)
            return -1;
        if (data.size() > largest.size())
            largest = data;
    }
    argument.endArray();
    int visible = 0;
    for (qsizetype alpha = 0; alpha < largest.size(); alpha += 4)
        visible += largest.at(alpha) != 0;
    return visible;
}

// The whole menu: the dbusmenu object the item names, on the item's connection.
MenuNode Layout(const QString& service, const QString& menuPath) {
    const QDBusMessage reply = Call(service, menuPath, kMenuInterface, QStringLiteral("GetLayout"),
                                    {0, -1, QStringList()});
    MenuNode root;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        qWarning() << "GetLayout" << menuPath << reply.errorMessage();
        return root;
    }
    reply.arguments().at(1).value<QDBusArgument>() >> root;
    return root;
}

QString BusOwner(const QString& name) {
    return QDBusConnection::sessionBus().interface()->serviceOwner(name).value();
}

} // namespace

class TrayHostTest : public QObject {
    Q_OBJECT
private slots:
    void trayAtStart();
    void trayHostAppearsLater();
    void getMailKeptAcrossFreshStart();
    void noFreshStartOnceEnding_data();
    void noFreshStartOnceEnding();

private:
    void checkItem(const QString& service, pid_t pid);
};

// The registered item: Qt registers with its connection's unique name, which belongs to
// the menu's process. It has its icon and the menu of the table, the status line first
// and disabled.
void TrayHostTest::checkItem(const QString& service, pid_t pid) {
    QVERIFY2(service.startsWith(QLatin1Char(':')), qPrintable(service));
    QCOMPARE(QDBusConnection::sessionBus().interface()->servicePid(service).value(), uint(pid));
    QCOMPARE(ItemProperty(service, QStringLiteral("Id")).toString(), QStringLiteral("Tarnwell Menu"));
    QCOMPARE(ItemProperty(service, QStringLiteral("Title")).toString(), QStringLiteral("Tarnwell Menu"));
    QVERIFY2(VisiblePixels(ItemProperty(service, QStringLiteral("IconPixmap"))) > 0, "the item shows no icon");
    const QString menuPath = ItemProperty(service, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    QVERIFY2(menuPath.startsWith(QLatin1Char('/')), "the item names no menu");

    const QStringList items = {"Stopped", "-", "Get Mail", "Show Tarnwell Log", "-", "Open Tarnwell Preferences"};
    MenuNode root = Layout(service, menuPath);
    QCOMPARE(Titles(root), items);
    QCOMPARE(root.children.first().properties.value(QStringLiteral("enabled"), true).toBool(), false);
    QCOMPARE(root.children.at(2).properties.value(QStringLiteral("enabled"), true).toBool(), true);

    // Opened without Control held on this display: no extras.
    const QDBusMessage shown = Call(service, menuPath, kMenuInterface, QStringLiteral("AboutToShow"), {0});
    QCOMPARE(shown.type(), QDBusMessage::ReplyMessage);
    root = Layout(service, menuPath);
    QCOMPARE(Titles(root), items);
}

void TrayHostTest::trayAtStart() {
    FakeWatcher watcher;
    QVERIFY(watcher.Registered());
    MenuChild menu;
    QVERIFY(menu.Start());
    QVERIFY(QTest::qWaitFor([&] { return !watcher.items.isEmpty(); }, kWait));
    QCOMPARE(watcher.items.size(), 1);
    QCOMPARE(watcher.senders, watcher.items);
    checkItem(watcher.items.first(), menu.Pid());
}

// Without a watcher the menu runs without its icon and still answers; once a watcher
// with a host comes, the same process starts afresh, as it was started (Qt's own options
// included), and its item registers.
void TrayHostTest::trayHostAppearsLater() {
    Pane pane;
    MenuChild menu;
    QVERIFY(menu.Start({"-platform", "xcb"}));
    const pid_t pid = menu.Pid();
    // Read once the menu answers: just after the exec the kernel may not show it yet.
    QCOMPARE(pane.StatusAnswers(), QStringList({"status", "summary"}));
    const QList<QByteArray> commandLine = menu.CommandLine();
    QCOMPARE(commandLine.mid(1, 2), QList<QByteArray>({"-platform", "xcb"}));
    const QString before = BusOwner(notify::kMenuBusName);
    QVERIFY(!before.isEmpty());

    FakeWatcher watcher;
    QVERIFY(watcher.Registered());
    emit watcher.StatusNotifierHostRegistered();
    QVERIFY(QTest::qWaitFor([&] { return !watcher.items.isEmpty(); }, kWait));
    QCOMPARE(watcher.items.size(), 1);
    QVERIFY(menu.Running());
    QCOMPARE(menu.Pid(), pid);
    QCOMPARE(menu.Instances(), 1);
    QCOMPARE(menu.CommandLine(), commandLine);
    checkItem(watcher.items.first(), pid);

    // The fresh start announced itself and answers on a new connection; the old one is
    // gone from the bus.
    QCOMPARE(pane.StatusAnswers(), QStringList({"status", "summary"}));
    const QString after = BusOwner(notify::kMenuBusName);
    QVERIFY(!after.isEmpty());
    QVERIFY(after != before);
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(before).value());
    QCOMPARE(watcher.items.size(), 1);
    QCOMPARE(menu.Pid(), pid);
}

// A host that appears between "Get Mail" and the launch: the requested run happens first,
// and the fresh start comes after its end.
void TrayHostTest::getMailKeptAcrossFreshStart() {
    Pane pane;
    MenuChild menu;
    menu.Environment().insert(QStringLiteral("FAKE_AGENT_TICKS"), QStringLiteral("4"));
    QVERIFY(menu.Start());
    const pid_t pid = menu.Pid();
    QCOMPARE(pane.StatusAnswers(), QStringList({"status", "summary"}));
    // Sent on the same connection before the watcher's name, so the menu has the request
    // when it learns of the host.
    QVERIFY(pane.Send(QStringLiteral("getMail")));
    FakeWatcher watcher;
    QVERIFY(watcher.Registered());
    emit watcher.StatusNotifierHostRegistered();

    QVERIFY(pane.WaitForRunEnd(QStringLiteral("Done")));
    QVERIFY(QTest::qWaitFor([&] { return !watcher.items.isEmpty(); }, kWait));
    checkItem(watcher.items.first(), pid);
    QCOMPARE(menu.Folder().Events(QStringLiteral("start")).size(), 1);
    QCOMPARE(menu.Folder().Events(QStringLiteral("exit")).size(), 1);
}

void TrayHostTest::noFreshStartOnceEnding_data() {
    QTest::addColumn<bool>("powerOff");
    QTest::newRow("power-off") << true;
    QTest::newRow("quit") << false;
}

// A host that appears during a run waits for the run's end; but a menu that is powering
// off or quitting by then must not start afresh, which would make it launch runs again
// or keep it from ending.
void TrayHostTest::noFreshStartOnceEnding() {
    QFETCH(bool, powerOff);
    Pane pane;
    MenuChild menu;
    const QString address = menu.Environment().value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    menu.Environment().insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
    menu.Environment().insert(QStringLiteral("FAKE_AGENT_TICKS"), QStringLiteral("400"));
    // logind on the test bus, standing in for the system bus.
    const auto logindGone = qScopeGuard([] { QDBusConnection::disconnectFromBus(QStringLiteral("logind")); });
    QDBusConnection logind = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
    QVERIFY(logind.registerService(QStringLiteral("org.freedesktop.login1")));
    QVERIFY(menu.Start());
    QCOMPARE(pane.StatusAnswers(), QStringList({"status", "summary"}));
    QVERIFY(pane.Send(QStringLiteral("getMail")));
    QVERIFY(pane.WaitForStatus(QStringLiteral("Getting mail list")));
    const QString owner = BusOwner(notify::kMenuBusName);

    // The menu has asked the watcher about its host: it knows of it before what follows.
    FakeWatcher watcher;
    QVERIFY(watcher.Registered());
    emit watcher.StatusNotifierHostRegistered();
    QVERIFY(QTest::qWaitFor([&] { return watcher.hostQueries > 0; }, kWait));

    if (powerOff) {
        QDBusMessage shutdown = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
            QStringLiteral("PrepareForShutdown"));
        shutdown << true;
        QVERIFY(logind.send(shutdown));
        // Once the agent is reaped and its last lines are passed on, its end has been
        // handled: a fresh start would come before the answers to a request sent now.
        const QStringList starts = menu.Folder().Events(QStringLiteral("start"));
        QCOMPARE(starts.size(), 1);
        const QString agent = QStringLiteral("/proc/") + starts.first().section(QLatin1Char(' '), 1, 1);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(agent); }, kWait));
        QVERIFY(pane.WaitForRunEnd(QStringLiteral("Stopped")));
        QCOMPARE(pane.AnswersNow(), QStringList({"status", "summary"}));
        QCOMPARE(BusOwner(notify::kMenuBusName), owner);
    } else {
        ::kill(menu.Pid(), SIGTERM);
        QVERIFY(menu.Process().waitForFinished(kWait));
        QCOMPARE(menu.Process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(menu.Process().exitCode(), 0);
    }
    QVERIFY(watcher.items.isEmpty());
    QCOMPARE(menu.Folder().Events(QStringLiteral("TERM")).size(), 1);
    QCOMPARE(menu.Folder().Events(QStringLiteral("start")).size(), 1);
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("TARNWELL_XVFB_MISSING") || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::puts("SKIP: the tray tests need an X server from xvfb-run (install xvfb and xauth, then reconfigure); "
                  "run them through ctest.");
        return kSkipped;
    }
    QCoreApplication app(argc, argv);
    TrayHostTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tray_host_test.moc"
