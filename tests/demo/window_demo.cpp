// The demo's window part, run on a private session bus without a display: the
// preferences window starts the real menu beside the given programs (as it does for a
// user), "Get Mail" is pressed in its Status tab, and once the run's summary has come the
// tab's text is printed and the window saved as a PNG. The menu is ended at the close.
// Usage: window_demo PROGRAM_FOLDER PNG_FILE (HOME set to the demo's home).
#include "help.h"
#include "menu_check.h"
#include "prefs.h"
#include "status_tab.h"
#include "tarnwell_preferences_pref.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

constexpr int kStartMs = 20000;
constexpr int kRunMs = 120000;

class PrintedAlerts : public AlertPresenter {
public:
    int Present(const Alert& alert) override {
        std::printf("   alert: %s %s\n", qPrintable(alert.message), qPrintable(alert.informative));
        return 1;
    }
};

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void EndMenu() {
    const pid_t menu = getProcessPid(::geteuid(), QStringLiteral("Tarnwell Menu"));
    if (menu > 0)
        ::kill(menu, SIGTERM);
    WaitFor([] { return getProcessPid(::geteuid(), QStringLiteral("Tarnwell Menu")) <= 0; }, kStartMs);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_demo PROGRAM_FOLDER PNG_FILE\n");
        return 2;
    }
    const QString programs = QString::fromLocal8Bit(argv[1]);
    PrintedAlerts alerts;
    const PaneSurroundings around{programs, HelpBook::Folder(programs), &MenuRunning, [](const QUrl&) { return true; }};
    TarnwellPreferencesPref window(prefs::Domain::DefaultPath("com.vexlo.Tarnwell"), &alerts, around);
    window.show();
    window.mainViewDidLoad();
    StatusTab* tab = window.statusTab();
    const bool started = WaitFor([&] { return tab->appStatus()->text() == QLatin1String("Stopped"); }, kStartMs);
    std::printf("   the window started Tarnwell Menu: %s; status \"%s\"\n", started ? "yes" : "no",
                qPrintable(tab->appStatus()->text()));
    std::printf("   pressing \"%s\"\n", qPrintable(tab->getMail()->text()));
    tab->getMail()->click();
    const bool ran = WaitFor(
        [&] { return tab->statSummary()->toPlainText().startsWith(QLatin1String("Run completed")); }, kRunMs);
    std::printf("   Status tab at the end of the run:\n");
    std::printf("     Account:  %s\n     Status:   %s\n     Last run: %s\n", qPrintable(tab->currAccount()->text()),
                qPrintable(tab->appStatus()->text()),
                qPrintable(tab->statSummary()->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\n               "))));
    window.prefTab()->setCurrentWidget(tab);
    const bool saved = window.grab().save(QString::fromLocal8Bit(argv[2]));
    EndMenu();
    return started && ran && saved ? 0 : 1;
}
