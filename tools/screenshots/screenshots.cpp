// Writes PNG files of the tray icon in every frame and colour on light and dark panels,
// of the tray menu in its states, and of the preferences window's tabs, account form and
// a validation alert, driven through the programs' own code with the test agent stand-in.
// Usage: tarnwell_screenshots OUTPUT_FOLDER (offscreen, private bus).
#include "acct_entry.h"
#include "menu_icons.h"
#include "prefs.h"
#include "status_reader.h"
#include "tarnwell_menu.h"
#include "tarnwell_preferences_pref.h"
#include "tray.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

constexpr int kIconSize = 22;
constexpr int kZoom = 4;
constexpr int kWaitMs = 15000;

bool Save(const QImage& image, const QString& folder, const QString& name) {
    const QString path = folder + QLatin1Char('/') + name;
    if (!image.save(path)) {
        std::fprintf(stderr, "tarnwell_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Rows: the four frames and the base icon while a run goes on, then the idle icon in the
// normal, orange and dark red colours; once on a light and once on a dark panel, each
// at its real size and enlarged.
QImage IconSheet() {
    struct Cell {
        int animateCtr;
        QColor color;
    };
    const Cell cells[] = {{1, Qt::black}, {2, Qt::black}, {3, Qt::black}, {4, Qt::black}, {5, Qt::black},
                          {0, Qt::black}, {0, StatusReader::Orange()}, {0, StatusReader::DarkRed()}};
    const QColor panels[] = {QColor(0xf2, 0xf2, 0xf2), QColor(0x2b, 0x2b, 0x2e)};
    const int step = kIconSize * kZoom + 16;
    const int rowHeight = step + kIconSize + 16;
    QImage sheet(step * int(std::size(cells)) + 16, rowHeight * int(std::size(panels)), QImage::Format_ARGB32);
    QPainter painter(&sheet);
    for (int row = 0; row < int(std::size(panels)); ++row) {
        painter.fillRect(0, row * rowHeight, sheet.width(), rowHeight, panels[row]);
        for (int i = 0; i < int(std::size(cells)); ++i) {
            const QImage icon =
                menuicons::animateIcon(cells[i].animateCtr, cells[i].color).pixmap(kIconSize).toImage();
            const int x = 16 + i * step;
            const int y = row * rowHeight + 8;
            painter.drawImage(x + (step - 16 - kIconSize) / 2, y, icon);
            painter.drawImage(QRect(x, y + kIconSize + 8, kIconSize * kZoom, kIconSize * kZoom), icon);
        }
    }
    return sheet;
}

void WaitFor(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    QTimer limit;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(20);
    limit.start(kWaitMs);
    loop.exec();
}

// Alerts would stop the tool; there should be none.
class PrintedAlerts : public AlertPresenter {
public:
    int Present(const Alert& alert) override {
        std::fprintf(stderr, "tarnwell_screenshots: alert: %s %s\n", qPrintable(alert.message),
                     qPrintable(alert.informative));
        return 1;
    }
};

// The window's surroundings here: the menu runs (in this process), help pages and links
// open nowhere.
PaneSurroundings InProcess() {
    return {QString(), QString(), [] { return true; }, [](const QUrl&) { return true; }};
}

// The window over the tool's settings, asking the in-process menu for its status after a
// run whose summary holds a retry and an error line; one image per tab.
bool WindowShots(const std::string& settings, TarnwellMenu& menu, const QString& out) {
    {
        prefs::Domain domain(settings);
        const AcctEntry account{"ann@example.com", "secret", "POP", "pop.example.com", "1", "ann", "(default)", "1", "1"};
        domain.SetAppValue("Account", std::vector<std::string>{account.ToRecord().toStdString()});
        domain.SetAppValue("SMTPHost", std::string("smtp.example.net:587"));
        domain.SetAppValue("SMTPAuth", std::string("1"));
        domain.SetAppValue("SMTPLogin", encodeBase64(QStringLiteral("ann@example.net:secret")).toStdString());
        domain.AppSynchronize();
    }
    // The stand-in writes its extra summary line as given: a line feed in it adds a line.
    qputenv("FAKE_AGENT_SUMMARY", "   1 account completed with retry\nupdateSummary\t   1 account skipped with errors");
    menu.doGetMail();
    WaitFor([&] { return menu.agentBusy(); });
    WaitFor([&] { return !menu.agentBusy(); });

    PrintedAlerts alerts;
    TarnwellPreferencesPref window(settings, &alerts, InProcess());
    window.show();
    window.mainViewDidLoad();
    QTextEdit* summary = window.statusTab()->statSummary();
    WaitFor([&] { return summary->toPlainText().startsWith(QLatin1String("Run completed")); });
    bool ok = true;
    for (const auto& [tab, name] : {std::pair<QWidget*, const char*>{window.statusTab(), "prefs-status.png"},
                                    {window.smtpTab(), "prefs-smtp.png"},
                                    {window.aboutTab(), "prefs-about.png"}}) {
        window.prefTab()->setCurrentWidget(tab);
        ok = Save(window.grab().toImage(), out, QLatin1String(name)) && ok;
    }
    return ok;
}

QImage MenuShot(TarnwellTray& tray) {
    QMenu* menu = tray.menuPtr();
    tray.menuNeedsUpdate();
    menu->adjustSize();
    return menu->grab().toImage();
}

// The window with four accounts (the last one disabled), the form editing the POP and
// the Gmail account, and the alert a form without a valid address gets.
bool PreferencesShots(const QString& out, const std::string& settings) {
    TarnwellPreferencesPref window(settings, nullptr, InProcess());
    const AcctEntry accounts[] = {
        {"me@example.com", "secret", "POP", "pop.example.com:995", "1", "me", "(default)", "0", "1"},
        {"work@example.org", "secret", "IMAP", "imap.example.org", "1", "jsmith", "me@example.net, archive@example.net",
         "1", "1"},
        {"someone@gmail.com", "secret", "Gmail", "pop.gmail.com", "0", "someone", "(default)", "0", "1"},
        {"old@yahoo.com", "secret", "Yahoo", "yahoo.com", "0", "old", "(default)", "1", "0"}};
    QStringList records;
    for (const AcctEntry& entry : accounts)
        records << entry.ToRecord();
    window.prefs().setPrefVal(QStringLiteral("Account"), records, true);
    window.prefs().setPrefVal(QStringLiteral("dftFwd"), QStringLiteral("me@example.net"), true);
    window.prefs().setPrefVal(QStringLiteral("SMTPHost"), QStringLiteral("smtp.example.net:587"), true);
    window.show();
    window.mainViewDidLoad();
    window.prefTab()->setCurrentWidget(window.accountsPage());
    AccountsTab& tab = window.accountsTab();
    auto* list = tab.findChild<QTableView*>(QStringLiteral("acctList"));
    list->selectRow(1);
    bool ok = Save(window.grab().toImage(), out, QStringLiteral("prefs-accounts.png"));

    const std::pair<int, const char*> forms[] = {{0, "prefs-form-pop.png"}, {2, "prefs-form-gmail.png"}};
    for (const auto& [row, name] : forms) {
        list->selectRow(row);
        tab.acctChange();
        ok = Save(tab.form().grab().toImage(), out, QLatin1String(name)) && ok;
        tab.form().reject();
    }

    tab.acctAdd();
    tab.form().findChild<QLineEdit*>(QStringLiteral("acctAddr"))->setText(QStringLiteral("me.example.com"));
    QImage alert;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                alert = box->grab().toImage();
                box->buttons().first()->click();
            }
    });
    poll.start(20);
    tab.form().acctOk();
    tab.form().reject();
    return Save(alert, out, QStringLiteral("prefs-alert.png")) && ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarnwell_screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    bool ok = Save(IconSheet(), out, QStringLiteral("menu-icons.png"));

    // A home of its own with the tray and automatic forwarding on, and the agent stand-in.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    const QString agent = home.filePath(QStringLiteral("Tarnwell Agent"));
    QFile::copy(QStringLiteral(TARNWELL_SOURCE_DIR "/tests/menu/fake_agent.sh"), agent);
    QFile::setPermissions(agent, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("FAKE_AGENT_LOG", QFile::encodeName(home.filePath(QStringLiteral("agent.log"))));
    qputenv("FAKE_AGENT_TICKS", "40");
    qputenv("FAKE_AGENT_SUMMARY", "   1 account skipped with errors");
    const std::string settings = prefs::Domain::DefaultPath("com.vexlo.Tarnwell");
    {
        prefs::Domain domain(settings);
        domain.SetAppValue("showMenu", std::string("1"));
        domain.SetAppValue("autoFwd", std::string("1"));
        domain.AppSynchronize();
    }

    bool control = false;
    TarnwellMenu menu(agent, settings);
    TarnwellTray tray(menu, home.path(), true, [&control] { return std::optional<bool>(control); });
    menu.applicationDidFinishLaunching();
    ok = Save(MenuShot(tray), out, QStringLiteral("menu-idle.png")) && ok;

    menu.doGetMail();
    WaitFor([&] { return menu.status().AccountActive(); });
    ok = Save(MenuShot(tray), out, QStringLiteral("menu-running.png")) && ok;

    WaitFor([&] { return !menu.agentBusy(); });
    control = true;
    menu.traceLog();
    ok = Save(MenuShot(tray), out, QStringLiteral("menu-after-errors-control.png")) && ok;
    ok = PreferencesShots(out, settings) && ok;
    ok = WindowShots(settings, menu, out) && ok;
    return ok ? 0 : 1;
}
