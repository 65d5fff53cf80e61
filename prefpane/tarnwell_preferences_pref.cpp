#include "tarnwell_preferences_pref.h"

#include "migration.h"

#include <QLabel>
#include <QVBoxLayout>

TarnwellPreferencesPref::TarnwellPreferencesPref(std::string settingsPath, AlertPresenter* alerts)
    : ownAlerts_(alerts ? nullptr : std::make_unique<SheetAlerts>(this)),
      alerts_(alerts ? alerts : ownAlerts_.get()), prefs_(std::move(settingsPath), *alerts_),
      accountsTab_(new AccountsTab(prefs_, *alerts_)), dftFwd_(new uTextView(uTextView::kDefaultHeight)) {
    setWindowTitle(QStringLiteral("Tarnwell Preferences"));
    dftFwd_->setObjectName(QStringLiteral("dftFwd"));
    auto* dftFwdExp = new QLabel(QStringLiteral("Mail of every account whose forwarding address is \"(default)\" goes "
                                                "here. Separate several addresses with commas."));
    dftFwdExp->setWordWrap(true);
    dftFwdExp->setForegroundRole(QPalette::PlaceholderText);

    auto* main = new QWidget(this);
    auto* layout = new QVBoxLayout(main);
    layout->addWidget(accountsTab_, 1);
    layout->addSpacing(8);
    layout->addWidget(new QLabel(QStringLiteral("Default forwarding address:")));
    layout->addWidget(dftFwd_);
    layout->addWidget(dftFwdExp);
    setCentralWidget(main);
    resize(668, 520);
    connect(dftFwd_, &uTextView::editingFinished, this, &TarnwellPreferencesPref::dftFwd);
}

void TarnwellPreferencesPref::mainViewDidLoad() {
    prefs_.synchronize();
    convertPrefs(prefs_, *alerts_);
    convertIndex(prefs_, *alerts_);
    accountsTab_->loadAccounts();
    // The editor takes its mode from the comma.
    dftFwd_->setPlainText(prefs_.getPrefVal(QStringLiteral("dftFwd"), 0, QString()));
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
