// The login item, read back by the desktop's own tools (desktop-file-validate, and GLib's
// launcher starting exactly the program's path), a path with a line break refused, and
// the process table the window looks for the menu in.
#include "login_item.h"
#include "window_test_support.h"

#include <unistd.h>

class LoginItemTest : public QObject {
    Q_OBJECT
private slots:
    void entryStartsTheProgramAtAnAwkwardPath_data();
    void entryStartsTheProgramAtAnAwkwardPath();
    void refusalsAndLocation();
    void processTable();
};

void LoginItemTest::entryStartsTheProgramAtAnAwkwardPath_data() {
    QTest::addColumn<QString>("folder");
    // GLib looks for the program before it turns "%%" back into "%", finds no such file
    // and refuses the entry, so a "%" is left to the validator.
    QTest::addColumn<bool>("launch");
    QTest::newRow("space, %, $, quote") << "Tarnwell 100% $HOME \"x\"" << false;
    QTest::newRow("space, $, quote") << "Tarnwell $HOME \"x\"" << true;
    QTest::newRow("backslash, backtick, apostrophe, tab") << "a\\b `id` it's;\t(c) #1 *?" << true;
}

void LoginItemTest::entryStartsTheProgramAtAnAwkwardPath() {
    TestHome home;
    QFETCH(QString, folder);
    const QString program = home.Path() + QLatin1Char('/') + folder + QStringLiteral("/Tarnwell Menu");
    QVERIFY(QDir().mkpath(QFileInfo(program).absolutePath()));
    const QString started = home.Path() + QStringLiteral("/started");
    WriteBytes(program, "#!/bin/sh\nprintf '%s' \"$0\" > \"$STARTED\"\n");
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("STARTED", QFile::encodeName(started));

    QCOMPARE(writeLoginItem(program), QString());
    QCOMPARE(Output(QStringLiteral("desktop-file-validate"), {loginItemPath()}), QString());
    QFETCH(bool, launch);
    if (!launch)
        return;
    QCOMPARE(Output(QStringLiteral("gio"), {QStringLiteral("launch"), loginItemPath()}), QString());
    QVERIFY(QTest::qWaitFor([&] { return !ReadBytes(started).isEmpty(); }, 10000));
    QCOMPARE(QString::fromUtf8(ReadBytes(started)), program);
}

void LoginItemTest::refusalsAndLocation() {
    TestHome home;
    const QString name = QStringLiteral("/autostart/com.vexlo.Tarnwell.Menu.desktop");
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/.config") + name);
    qputenv("XDG_CONFIG_HOME", "relative/config");
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/.config") + name);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.Path() + QStringLiteral("/cfg")));
    QCOMPARE(loginItemPath(), home.Path() + QStringLiteral("/cfg") + name);

    // The menu is started; that it cannot start with the session is said.
    const QString install = home.Path() + QStringLiteral("/line\nbreak");
    QVERIFY(QDir().mkpath(install));
    QVERIFY(QFile::copy(QStringLiteral(TARNWELL_BIN_DIR "/Tarnwell Menu"), install + QStringLiteral("/Tarnwell Menu")));
    MenusEnded ended(install);
    RecordingAlerts alerts;
    QVERIFY(LaunchMenu(install, alerts));
    QCOMPARE(alerts.Messages(), QStringList{"Tarnwell Menu could not be made to start with your session."});
    QVERIFY(alerts.shown[0].informative.contains("line break"));
    QVERIFY(!QFile::exists(loginItemPath()));
    QVERIFY(!LaunchMenu(home.Path() + QStringLiteral("/nowhere"), alerts));
    QCOMPARE(alerts.Messages().last(), QStringLiteral("Tarnwell Menu could not be started."));
}

// By user (effective id), command name (any case, on the kernel's 15 characters) and
// state, in a table laid out as /proc lays it out.
void LoginItemTest::processTable() {
    QTemporaryDir proc;
    const auto process = [&](const char* pid, const QByteArray& comm, const QByteArray& uids, char state) {
        QDir().mkpath(proc.filePath(pid));
        WriteBytes(proc.filePath(QStringLiteral("%1/comm").arg(pid)), comm + '\n');
        WriteBytes(proc.filePath(QStringLiteral("%1/status").arg(pid)),
                   "Name:\t" + comm + "\nState:\t" + state + " (x)\nUid:\t" + uids + "\nGid:\t0\t0\t0\t0\n");
    };
    QDir().mkpath(proc.filePath("self"));
    QDir().mkpath(proc.filePath("9")); // ended while the table was read
    process("10", "Tarnwell Menu", "500\t500\t500\t500", 'Z');
    process("11", "Tarnwell Menu", "500\t501\t500\t500", 'S');
    process("12", "tarnwell menu", "501\t500\t501\t501", 'S');
    process("13", "Tarnwell Prefer", "502\t502\t502\t502", 'R');
    const QString menu = QStringLiteral("Tarnwell Menu");
    QCOMPARE(getProcessPid(500, menu, proc.path()), 12);
    QCOMPARE(getProcessPid(501, menu, proc.path()), 11);
    QCOMPARE(getProcessPid(502, menu, proc.path()), -1);
    QCOMPARE(getProcessPid(502, QStringLiteral("Tarnwell Preferences"), proc.path()), 13);
    QCOMPARE(getProcessPid(502, QStringLiteral("Tarnwell Pref"), proc.path()), -1);
    QCOMPARE(getProcessPid(500, menu, proc.filePath("missing")), -1);
    QCOMPARE(getProcessPid(::geteuid(), QStringLiteral("prefpane_login_item_test")), ::getpid());
}

QTEST_MAIN(LoginItemTest)
#include "login_item_test.moc"
