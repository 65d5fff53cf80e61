// Tarnwell Menu: supervises the agent and answers the preferences window. One runs per
// session; it keeps running without a window.
#include "notifications.h"
#include "quit_signals.h"
#include "tarnwell_menu.h"

#include <QApplication>

#include <cstdio>

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
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::requested, &menu, &TarnwellMenu::applicationWillTerminate);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &menu, &TarnwellMenu::applicationWillTerminate);
    QObject::connect(&menu, &TarnwellMenu::quitReady, &app, &QCoreApplication::quit);
    menu.applicationDidFinishLaunching();
    return QApplication::exec();
}
