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
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A tray host appeared after start-up and Qt will not look for it again: the menu starts
// afresh in the same process, with the arguments it was started with. Only called while
// no agent runs.
void Restart(std::vector<std::string> arguments) {
    QDBusConnection::sessionBus().unregisterService(QString::fromLatin1(notify::kMenuBusName));
    const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(program.constData(), argv.data());
    std::fprintf(stderr, "Tarnwell Menu: could not restart to show the tray icon: %s\n", std::strerror(errno));
    notify::Notifications::ClaimName(QString::fromLatin1(notify::kMenuBusName));
}

// The session or a launcher may close the menu's output once it has started it; a message
// written then must not end the menu. A handler (not SIG_IGN) so that programs the menu
// starts get the default back.
void SurviveClosedOutput() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    QuitSignals::Block();
    SurviveClosedOutput();
    // Taken before Qt removes its own options (-platform and the like) from argv.
    const std::vector<std::string> arguments(argv, argv + argc);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    if (notify::Notifications::ClaimName(notify::kMenuBusName) == notify::Notifications::Claim::Taken) {
        std::fprintf(stderr, "Tarnwell Menu is already running in this session.\n");
        return 0;
    }

    TarnwellMenu menu(AgentSupervisor::DefaultAgentPath(),
                      prefs::Domain::DefaultPath("com.vexlo.Tarnwell"));
    TarnwellTray tray(menu, QCoreApplication::applicationDirPath(), QSystemTrayIcon::isSystemTrayAvailable());
    QObject::connect(
        &tray, &TarnwellTray::restartWanted, &app, [&arguments] { Restart(arguments); }, Qt::QueuedConnection);
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::requested, &menu, &TarnwellMenu::applicationWillTerminate);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &menu, &TarnwellMenu::applicationWillTerminate);
    QObject::connect(&menu, &TarnwellMenu::quitReady, &app, &QCoreApplication::quit);
    menu.applicationDidFinishLaunching();
    return QApplication::exec();
}
