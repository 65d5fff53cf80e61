#include "tarnwell_preferences_pref.h"

#include "migration.h"

TarnwellPreferencesPref::TarnwellPreferencesPref(std::string settingsPath, AlertPresenter* alerts)
    : ownAlerts_(alerts ? nullptr : std::make_unique<SheetAlerts>(this)),
      alerts_(alerts ? alerts : ownAlerts_.get()), prefs_(std::move(settingsPath), *alerts_) {
    setWindowTitle(QStringLiteral("Tarnwell Preferences"));
    setCentralWidget(new QWidget(this));
    resize(668, 520);
}

void TarnwellPreferencesPref::mainViewDidLoad() {
    prefs_.synchronize();
    convertPrefs(prefs_, *alerts_);
    convertIndex(prefs_, *alerts_);
}
