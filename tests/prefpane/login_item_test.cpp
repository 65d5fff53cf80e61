// The login item: the program's path quoted for an Exec key, checked by the desktop's own
// tools (desktop-file-validate, and GLib's launcher starting exactly that path), a path
// with a line break refused, and where the entry goes.
#include "login_item.h"
#include "menu_check.h"
#include "window_test_support.h"

#include <QProcess>

#include <unistd.h>

namespace {

constexpr int kWait = 10000;

// The output of a program, with " (failed)" when it did not succeed.
QString Run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool done = process.waitForFinished(kWait);
    QString out = QString::fromUtf8(process.readAll());
    if (!done || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        out += QStringLiteral(" (failed)");
    return out;
}

} // namespace

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    void quoting_data();
    void quoting();
    void entryStartsTheProgramAtAnAwkwardPath_data();
    void entryStartsTheProgramAtAnAwkwardPath();
    void lineBreakIsRefused();
    void entryLocation();
    void processTable();
};

void LoginItemTest::quoting_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("exec");
    QTest::newRow("plain") << "/opt/tarnwell/Tarnwell Menu" << R"("/opt/tarnwell/Tarnwell Menu")";
    QTest::newRow("percent") << "/opt/100%u/m" << R"("/opt/100%%u/m")";
    QTest::newRow("dollar") << "/opt/$HOME/m" << R"("/opt/\\$HOME/m")";
    QTest::newRow("quote and backtick") << "/opt/\"a\" `b`/m" << R"("/opt/\\"a\\" \\`b\\`/m")";
    QTest::newRow("backslash") << "/opt/a\\b/m" << R"("/opt/a\\\\b/m")";
    QTest::newRow("tab") << "/opt/a\tb/m" << R"("/opt/a\tb/m")";
}

void LoginItemTest::quoting() {
    QFETCH(QString, path);
    QTEST(execArgument(path).value_or("(refused)"), "exec");
}

void LoginItemTest::entryStartsTheProgramAtAnAwkwardPath_data() {
    QTest::addColumn<QString>("folder");
    // GLib looks for the program before it turns "%%" back into "%", finds no such file
    // and refuses the entry, so a "%" is left to the validator.
    QTest::addColumn<bool>("launch");
    QTest::newRow("space, %, $, quote") << "Tarnwell 100% $HOME \"x\"" << false;
    QTest::newRow("space, $, quote") << "Tarnwell $HOME \"x\"" << true;
    QTest::newRow("backslash, backtick, apostrophe") << "a\\b `id` it's; (c) #1 *?" << true;
}

// The desktop's own tools read the entry back: the validator accepts it and GLib's
// launcher starts the program at exactly its path.
void LoginItemTest::entryStartsTheProgramAtAnAwkwardPath() {
    TestHome home;
    QFETCH(QString, folder);
    const QString install = home.Path() + QLatin1Char('/') + folder;
    QVERIFY(QDir().mkpath(install));
    const QString program = install + QStringLiteral("/Tarnwell Menu");
    const QString started = home.Path() + QStringLiteral("/started");
    WriteBytes(program, "#!/bin/sh\nprintf '%s' \"$0\" > \"$STARTED\"\n");
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("STARTED", QFile::encodeName(started));

    QCOMPARE(writeLoginItem(program), QString());
    QCOMPARE(Run(QStringLiteral("desktop-file-validate"), {loginItemPath()}), QString());
    QFETCH(bool, launch);
    if (!launch)
        return;
    QCOMPARE(Run(QStringLiteral("gio"), {QStringLiteral("launch"), loginItemPath()}), QString());
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(started) && !ReadBytes(started).isEmpty(); }, kWait));
    QCOMPARE(QString::fromUtf8(ReadBytes(started)), program);
}

void LoginItemTest::lineBreakIsRefused() {
    TestHome home;
    QVERIFY(!execArgument("/opt/a\nb/Tarnwell Menu"));
    QVERIFY(!execArgument("/opt/a\rb/Tarnwell Menu"));
    QVERIFY(writeLoginItem("/opt/a\nb/Tarnwell Menu").contains("line break"));
    QVERIFY(!QFile::exists(loginItemPath()));

    // Through the window: the menu starts, the failure to make it a login item is said.
    const QString install = home.Path() + QStringLiteral("/line\nbreak");
    QVERIFY(QDir().mkpath(install));
    QVERIFY(QFile::copy(QStringLiteral(TARNWELL_BIN_DIR "/Tarnwell Menu"), install + QStringLiteral("/Tarnwell Menu")));
    MenusEnded ended(install);
    RecordingAlerts alerts;
    QVERIFY(LaunchMenu(install, alerts));
    QCOMPARE(alerts.Messages(), QStringList{"Tarnwell Menu could not be made to start with your session."});
    QVERIFY(QTest::qWaitFor([&] { return MenusIn(install).size() == 1; }, kWait));

    alerts.shown.clear();
    QVERIFY(!LaunchMenu(home.Path() + QStringLiteral("/nowhere"), alerts));
    QCOMPARE(alerts.Messages(), QStringList{"Tarnwell Menu could not be started."});
}

void LoginItemTest::entryLocation() {
    TestHome home;
    const QString name = QStringLiteral("/autostart/com.vexlo.Tarnwell.Menu.desktop");
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/.config") + name);
    qputenv("XDG_CONFIG_HOME", "");
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/.config") + name);
    qputenv("XDG_CONFIG_HOME", "relative/config");
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/.config") + name);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.Path() + QStringLiteral("/cfg")));
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/cfg") + name);
    // Written atomically over the previous entry, the folders made as needed.
    QCOMPARE(writeLoginItem(QStringLiteral("/old/Tarnwell Menu")), QString());
    QCOMPARE(writeLoginItem(QStringLiteral("/new/Tarnwell Menu")), QString());
    const QByteArray entry = ReadBytes(loginItemPath());
    QVERIFY(entry.contains("\nExec=\"/new/Tarnwell Menu\"\n"));
    QVERIFY(!entry.contains("/old/"));
    QCOMPARE(QDir(home.Path() + QStringLiteral("/cfg/autostart")).entryList(QDir::Files),
             QStringList{"com.vexlo.Tarnwell.Menu.desktop"});
}

// The menu is found by user, command name (any case, the kernel's 15 characters) and
// state, in a process table laid out as /proc lays it out.
void LoginItemTest::processTable() {
    QTemporaryDir proc;
    const auto process = [&](const char* pid, const QByteArray& comm, const QByteArray& uids, char state) {
        QDir().mkpath(proc.filePath(pid));
        WriteBytes(proc.filePath(QStringLiteral("%1/comm").arg(pid)), comm + '\n');
        WriteBytes(proc.filePath(QStringLiteral("%1/status").arg(pid)),
                   "Name:\t" + comm + "\nState:\t" + state + " (x)\nTgid:\t1\nUid:\t" + uids + "\nGid:\t0\t0\t0\t0\n");
    };
    const QString menu = QStringLiteral("Tarnwell Menu");
    process("10", "Tarnwell Menu", "500\t500\t500\t500", 'Z');   // a zombie
    process("11", "Tarnwell Menu", "500\t501\t500\t500", 'S');   // runs as another user
    process("12", "tarnwell menu", "501\t500\t501\t501", 'S');   // this user by its effective id
    QCOMPARE(getProcessPid(500, menu, proc.path()), 12);
    QCOMPARE(getProcessPid(501, menu, proc.path()), 11);
    QCOMPARE(getProcessPid(502, menu, proc.path()), -1);
    // Names compare on the kernel's 15 characters.
    process("13", "Tarnwell Prefer", "502\t502\t502\t502", 'R');
    QCOMPARE(getProcessPid(502, QStringLiteral("Tarnwell Preferences"), proc.path()), 13);
    QCOMPARE(getProcessPid(502, QStringLiteral("Tarnwell Pref"), proc.path()), -1);
    // Entries that are not processes, or that ended while being read, are passed over.
    QDir().mkpath(proc.filePath("self"));
    QDir().mkpath(proc.filePath("14"));
    QCOMPARE(getProcessPid(502, QStringLiteral("Tarnwell Preferences"), proc.path()), 13);
    QCOMPARE(getProcessPid(500, menu, proc.filePath("missing")), -1);
    // The real table holds this test, its name cut to 15 characters.
    QCOMPARE(getProcessPid(::geteuid(), QStringLiteral("prefpane_login_item_test")), ::getpid());
}

QTEST_MAIN(LoginItemTest)
#include "login_item_test.moc"
