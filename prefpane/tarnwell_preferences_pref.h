// The preferences window. For now a plain window whose central widget holds the Accounts
// tab and the default forwarding editor; it owns the settings access and the alert
// helper they build on, and converts the previous generation's files when its main view
// is set up.
#pragma once

#include "accounts_tab.h"
#include "alerts.h"
#include "forwarding_editor.h"
#include "pref_access.h"

#include <QMainWindow>

#include <memory>

class TarnwellPreferencesPref : public QMainWindow {
    Q_OBJECT
public:
    // settingsPath: the settings file; alerts: where alerts go, or null for window-modal
    // message boxes on this window.
    explicit TarnwellPreferencesPref(std::string settingsPath, AlertPresenter* alerts = nullptr);

    // Reads the settings, converts the previous generation's settings and index, then
    // loads the accounts and the default forwarding address.
    void mainViewDidLoad();

    PrefAccess& prefs() { return prefs_; }
    AlertPresenter& alerts() { return *alerts_; }
    AccountsTab& accountsTab() { return *accountsTab_; }
    uTextView& dftFwdEditor() { return *dftFwd_; }

    // End of editing of the default forwarding editor: stores "dftFwd" at once, line
    // breaks as blanks; text the agent could not read is refused with an alert instead.
    void dftFwd();

private:
    std::unique_ptr<SheetAlerts> ownAlerts_;
    AlertPresenter* alerts_;
    PrefAccess prefs_;
    AccountsTab* accountsTab_;
    uTextView* dftFwd_;
};
