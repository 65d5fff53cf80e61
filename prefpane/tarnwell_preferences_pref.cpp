#include "tarnwell_preferences_pref.h"

#include "menu_check.h"
#include "migration.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>

PaneSurroundings PaneSurroundings::Defaults() {
    const QString folder = QCoreApplication::applicationDirPath();
    return {folder, HelpBook::Folder(folder), &MenuRunning, &QDesktopServices::openUrl};
}

TarnwellPreferencesPref::TarnwellPreferencesPref(std::string settingsPath, AlertPresenter* alerts,
                                                 PaneSurroundings surroundings)
    : ownAlerts_(alerts ? nullptr : std::make_unique<SheetAlerts>(this)),
      alerts_(alerts ? alerts : ownAlerts_.get()), prefs_(std::move(settingsPath), *alerts_),
      surroundings_(std::move(surroundings)), help_(surroundings_.helpFolder, surroundings_.openUrl, *alerts_),
      bus_(notify::kMenuName, notify::kMenuObject), prefTab_(new QTabWidget(this)), accountsPage_(new QWidget),
      smtpTab_(new SmtpTab(prefs_, *alerts_)),
      statusTab_(new StatusTab(
          prefs_, *alerts_, [this](const QString& control) { request(control); }, surroundings_.openUrl)),
      aboutTab_(new AboutTab(surroundings_.openUrl, *alerts_)) {
    setWindowTitle(QStringLiteral("Tarnwell Preferences"));
    accountsPage_->setObjectName(QStringLiteral("AccountsTab"));
    prefTab_->addTab(accountsPage_, QStringLiteral("Accounts"));
    prefTab_->addTab(smtpTab_, QStringLiteral("SMTP"));
    prefTab_->addTab(statusTab_, QStringLiteral("Status"));
    prefTab_->addTab(aboutTab_, QStringLiteral("About"));
    setCentralWidget(prefTab_);
    const auto openHelp = [this](const QString& anchor) { help_.open(anchor); };
    connect(smtpTab_, &SmtpTab::helpRequested, this, openHelp);
    connect(statusTab_, &StatusTab::helpRequested, this, openHelp);
    connect(aboutTab_, &AboutTab::helpRequested, this, openHelp);
    resize(668, 520);
}

void TarnwellPreferencesPref::mainViewDidLoad() {
    prefs_.synchronize();
    convertPrefs(prefs_, *alerts_);
    convertIndex(prefs_, *alerts_);
    connect(&bus_, &notify::Notifications::received, statusTab_, &StatusTab::notificationCallbackMenu);
    statusTab_->loadShowMenu();
    if (!surroundings_.menuRunning()) {
        prefs_.setPrefVal(QStringLiteral("showMenu"),
                          statusTab_->showMenu()->isChecked() ? QStringLiteral("1") : QStringLiteral("0"), true);
        // A started menu announces itself with "init", which is answered with "getStatus".
        LaunchMenu(surroundings_.programFolder, *alerts_);
    } else {
        request(QStringLiteral("getStatus"));
    }
    statusTab_->loadAutoFwd();
    smtpTab_->loadSettings();
    selectFirstTab();
}

void TarnwellPreferencesPref::selectFirstTab() {
    if (prefs_.getPrefVal(QStringLiteral("Account"), 0, QString()).isEmpty()) {
        prefTab_->setCurrentWidget(accountsPage_);
        help_.open(QStringLiteral("setup"));
    } else if (smtpTab_->smtpHost()->text().trimmed().isEmpty()) {
        prefTab_->setCurrentWidget(smtpTab_);
        help_.open(QStringLiteral("setup"));
    } else {
        prefTab_->setCurrentWidget(statusTab_);
    }
}

void TarnwellPreferencesPref::request(const QString& control) {
    if (!bus_.Post(notify::kControlName, notify::kControlObject, {{notify::kControlKey, control}}))
        ShowAlert(*alerts_, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("Tarnwell Menu cannot be reached."),
                  QStringLiteral("The request \"%1\" could not be sent on the session bus, so the status shown may "
                                 "be out of date.")
                      .arg(control));
}

void TarnwellPreferencesPref::closeEvent(QCloseEvent* event) {
    if (QWidget* editing = focusWidget())
        editing->clearFocus();
    event->accept();
}
