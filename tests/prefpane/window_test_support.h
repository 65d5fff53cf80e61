// Helpers of the preferences window's tests: a home folder of its own, the window's
// surroundings with a recording opener, the control requests seen on the bus, and the
// menus running from a test's own folder.
#pragma once

#include "menu_check.h"
#include "notifications.h"
#include "prefpane_test_support.h"
#include "tarnwell_preferences_pref.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <csignal>
#include <memory>

// HOME (and no XDG_CONFIG_HOME) in a fresh temporary folder while it lives.
class TestHome {
public:
    TestHome() {
        qputenv("HOME", QFile::encodeName(dir_.path()));
        qunsetenv("XDG_CONFIG_HOME");
    }
    QString Path() const { return dir_.path(); }
    QString SettingsPath() const { return dir_.filePath(QStringLiteral("Library/Preferences/com.vexlo.Tarnwell.plist")); }
    // A setting as the menu and the agent read it from the file.
    QString Stored(const QString& key) const { return Prefs()->getPrefVal(key, 0, QStringLiteral("(none)")); }
    void Store(const QString& key, const QString& value) const { Prefs()->setPrefVal(key, value, true); }
    void Store(const QString& key, const QStringList& value) const { Prefs()->setPrefVal(key, value, true); }

private:
    std::unique_ptr<PrefAccess> Prefs() const {
        auto prefs = std::make_unique<PrefAccess>(SettingsPath().toStdString(), quiet_);
        prefs->synchronize();
        return prefs;
    }

    QTemporaryDir dir_;
    mutable RecordingAlerts quiet_;
};

// The window's surroundings: programs in programFolder, the built help pages, the URLs
// it opens recorded (answered with openResult), the menu's presence from menuRunning.
struct Surroundings {
    explicit Surroundings(QString programFolder = QStringLiteral(TARNWELL_BIN_DIR)) {
        pane = {std::move(programFolder), QStringLiteral(TARNWELL_BIN_DIR "/help"), [this] { return menuRunning(); },
                [this](const QUrl& url) {
                    opened << url;
                    return openResult;
                }};
    }
    PaneSurroundings pane;
    std::function<bool()> menuRunning = [] { return true; };
    QList<QUrl> opened;
    bool openResult = true;
};

// Control requests posted on the session bus, in order.
class Requests : public QObject {
public:
    Requests() : bus_(notify::kControlName, notify::kControlObject) {
        connect(&bus_, &notify::Notifications::received, this,
                [this](const notify::UserInfo& info) { seen << info.value(notify::kControlKey); });
    }
    QStringList seen;

private:
    notify::Notifications bus_;
};

// The output of a program, with " (failed)" when it did not succeed.
inline QString Output(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool done = process.waitForFinished(10000);
    const QString out = QString::fromUtf8(process.readAll());
    return done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? out
                                                                                           : out + " (failed)";
}

// Process ids of the live "Tarnwell Menu" processes started from folder.
inline QList<pid_t> MenusIn(const QString& folder) {
    const QString program = QDir(folder).filePath(QString::fromLatin1(kMenuProgram));
    QList<pid_t> pids;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (numeric && QFile::symLinkTarget(proc.filePath(entry + QStringLiteral("/exe"))) == program)
            pids << static_cast<pid_t>(pid);
    }
    return pids;
}

// Ends the menus started from folder (they outlive the window by design); true once they
// are gone.
inline bool EndMenus(const QString& folder) {
    for (pid_t pid : MenusIn(folder))
        ::kill(pid, SIGTERM);
    return QTest::qWaitFor([&] { return MenusIn(folder).isEmpty(); }, 10000);
}

// Ends the menus started from folder when it goes, also after a failed check.
class MenusEnded {
public:
    explicit MenusEnded(QString folder) : folder_(std::move(folder)) {}
    ~MenusEnded() { EndMenus(folder_); }
    MenusEnded(const MenusEnded&) = delete;
    MenusEnded& operator=(const MenusEnded&) = delete;

private:
    QString folder_;
};
