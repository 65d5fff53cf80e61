// The preferences window. For now a plain window around an empty central widget: it
// owns the settings access and the alert helper that the tabs build on, and converts
// the previous generation's files when its main view is set up.
#pragma once

#include "alerts.h"
#include "pref_access.h"

#include <QMainWindow>

#include <memory>

class TarnwellPreferencesPref : public QMainWindow {
    Q_OBJECT
public:
    // settingsPath: the settings file; alerts: where alerts go, or null for window-modal
    // message boxes on this window.
    explicit TarnwellPreferencesPref(std::string settingsPath, AlertPresenter* alerts = nullptr);

    // Reads the settings, then converts the previous generation's settings and index.
    void mainViewDidLoad();

    PrefAccess& prefs() { return prefs_; }
    AlertPresenter& alerts() { return *alerts_; }

private:
    std::unique_ptr<SheetAlerts> ownAlerts_;
    AlertPresenter* alerts_;
    PrefAccess prefs_;
};
