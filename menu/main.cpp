// Tarnwell Menu: supervises the agent, shows it in the panel's tray and answers the
// preferences window. One runs per session; it keeps running without a window and
// without a tray.
#include "notifications.h"
#include "quit_signals.h"
#include "tarnwell_menu.h"
#include "tray.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFile>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A tray host appeared after start-up and Qt will not look for it again: the menu starts
// afresh in the same process. Only called while no agent runs.
void Restart(char** argv) {
    QDBusConnection::sessionBus().unregisterService(QString::fromLatin1(notify::kMenuBusName));
    const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    ::execv(program.constData(), argv);
    std::fprintf(stderr, "Tarnwell Menu: could not restart to show the tray icon: %s\n", std::strerror(errno));
    notify::Notifications::ClaimName(QString::fromLatin1(notify::kMenuBusName));
}

} // namespace

int main(int argc, char** argv) {
    QuitSignals::Block();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    if (notify::Notifications::ClaimName(notify::kMenuBusName) == notify::Notifications::Claim::Taken) {
        std::fprintf(stderr, "Tarnwell Menu is already running in this session.\n");
        return 0;
    }

    TarnwellMenu menu(AgentSupervisor::DefaultAgentPath(),
                      prefs::Domain::DefaultPath("com.vexlo.Tarnwell"));
    TarnwellTray tray(menu, QCoreApplication::applicationDirPath(), QSystemTrayIcon::isSystemTrayAvailable());
    QObject::connect(&tray, &TarnwellTray::restartWanted, &app, [argv] { Restart(argv); }, Qt::QueuedConnection);
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::requested, &menu, &TarnwellMenu::applicationWillTerminate);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &menu, &TarnwellMenu::applicationWillTerminate);
    QObject::connect(&menu, &TarnwellMenu::quitReady, &app, &QCoreApplication::quit);
    menu.applicationDidFinishLaunching();
    return QApplication::exec();
}
