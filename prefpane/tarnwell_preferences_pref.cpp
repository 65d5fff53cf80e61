#include "tarnwell_preferences_pref.h"

#include "menu_check.h"
#include "migration.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QVBoxLayout>

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
      aboutTab_(new AboutTab(surroundings_.openUrl, *alerts_)), accountsTab_(new AccountsTab(prefs_, *alerts_)),
      dftFwd_(new uTextView(uTextView::kDefaultHeight)) {
    setWindowTitle(QStringLiteral("Tarnwell Preferences"));
    dftFwd_->setObjectName(QStringLiteral("dftFwd"));
    auto* dftFwdExp = new QLabel(QStringLiteral("Mail of every account whose forwarding address is \"(default)\" goes "
                                                "here. Separate several addresses with commas."));
    dftFwdExp->setWordWrap(true);
    dftFwdExp->setForegroundRole(QPalette::PlaceholderText);
    accountsPage_->setObjectName(QStringLiteral("AccountsTab"));
    auto* layout = new QVBoxLayout(accountsPage_);
    layout->addWidget(accountsTab_, 1);
    layout->addSpacing(8);
    layout->addWidget(new QLabel(QStringLiteral("Default forwarding address:")));
    layout->addWidget(dftFwd_);
    layout->addWidget(dftFwdExp);

    prefTab_->addTab(accountsPage_, QStringLiteral("Accounts"));
    prefTab_->addTab(smtpTab_, QStringLiteral("SMTP"));
    prefTab_->addTab(statusTab_, QStringLiteral("Status"));
    prefTab_->addTab(aboutTab_, QStringLiteral("About"));
    setCentralWidget(prefTab_);
    const auto openHelp = [this](const QString& anchor) { help_.open(anchor); };
    connect(smtpTab_, &SmtpTab::helpRequested, this, openHelp);
    connect(statusTab_, &StatusTab::helpRequested, this, openHelp);
    connect(aboutTab_, &AboutTab::helpRequested, this, openHelp);
    connect(accountsTab_, &AccountsTab::helpRequested, this, openHelp);
    resize(668, 520);
    connect(dftFwd_, &uTextView::editingFinished, this, &TarnwellPreferencesPref::dftFwd);
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
    accountsTab_->loadAccounts();
    // The editor takes its mode from the comma.
    dftFwd_->setPlainText(prefs_.getPrefVal(QStringLiteral("dftFwd"), 0, QString()));
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

void TarnwellPreferencesPref::dftFwd() {
    const QString text = dftFwd_->storedText();
    const QString why = agentCannotRead(text);
    if (!why.isEmpty()) {
        ShowAlert(*alerts_, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("The Default Forwarding Address contains characters Tarnwell cannot use."),
                  why + QStringLiteral(" Tarnwell Agent reads settings as ASCII text and would ignore it."));
        return;
    }
    if (text.size() > kMaxPrefValue) {
        ShowAlert(*alerts_, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("The Default Forwarding Address is too long."),
                  QStringLiteral("It has %1 characters, and Tarnwell Agent reads at most %2.")
                      .arg(text.size())
                      .arg(kMaxPrefValue));
        return;
    }
    prefs_.setPrefVal(QStringLiteral("dftFwd"), text, true);
}
