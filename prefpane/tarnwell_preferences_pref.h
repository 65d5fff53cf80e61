// The preferences window: the Accounts (with the default forwarding address), SMTP,
// Status and About tabs around the settings access and the alert helper. Setting up its
// main view converts the previous generation's files, listens to the menu, makes sure the
// menu runs (starting it and its login item, or asking it for the status), fills the
// controls and chooses the first tab.
#pragma once

#include "about_tab.h"
#include "accounts_tab.h"
#include "alerts.h"
#include "forwarding_editor.h"
#include "help.h"
#include "notifications.h"
#include "pref_access.h"
#include "smtp_tab.h"
#include "status_tab.h"

#include <QMainWindow>
#include <QTabWidget>

#include <functional>
#include <memory>

// What the window finds around itself, replaceable for tests.
struct PaneSurroundings {
    QString programFolder;             // holds "Tarnwell Menu"
    QString helpFolder;                // the help pages
    std::function<bool()> menuRunning; // a menu of this user runs
    UrlOpener openUrl;                 // the desktop opens a page or file

    // The window's own program folder, the help pages found from it, the process table
    // and the desktop's opener.
    static PaneSurroundings Defaults();
};

class TarnwellPreferencesPref : public QMainWindow {
    Q_OBJECT
public:
    // settingsPath: the settings file; alerts: where alerts go, or null for window-modal
    // message boxes on this window.
    explicit TarnwellPreferencesPref(std::string settingsPath, AlertPresenter* alerts = nullptr,
                                     PaneSurroundings surroundings = PaneSurroundings::Defaults());

    // The set-up of the main view, in its order: settings read, conversions, menu
    // listened to, menu started or asked, controls filled, first tab chosen.
    void mainViewDidLoad();

    PrefAccess& prefs() { return prefs_; }
    AlertPresenter& alerts() { return *alerts_; }
    AccountsTab& accountsTab() { return *accountsTab_; }
    uTextView& dftFwdEditor() { return *dftFwd_; }
    const HelpBook& help() const { return help_; }
    QTabWidget* prefTab() const { return prefTab_; }
    // The Accounts tab's page, for the account list.
    QWidget* accountsPage() const { return accountsPage_; }
    SmtpTab* smtpTab() const { return smtpTab_; }
    StatusTab* statusTab() const { return statusTab_; }
    AboutTab* aboutTab() const { return aboutTab_; }

protected:
    // An edit in progress is ended, and so stored, before the window goes.
    void closeEvent(QCloseEvent* event) override;

    // End of editing of the default forwarding editor: stores "dftFwd" at once, line
    // breaks as blanks; text the agent could not read is refused with an alert instead.
    void dftFwd();

private:
    // Posts a control request to the menu; one the bus refuses is named in an alert.
    void request(const QString& control);
    void selectFirstTab();

    std::unique_ptr<SheetAlerts> ownAlerts_;
    AlertPresenter* alerts_;
    PrefAccess prefs_;
    PaneSurroundings surroundings_;
    HelpBook help_;
    notify::Notifications bus_;
    QTabWidget* prefTab_;
    QWidget* accountsPage_;
    SmtpTab* smtpTab_;
    StatusTab* statusTab_;
    AboutTab* aboutTab_;
    AccountsTab* accountsTab_;
    uTextView* dftFwd_;
};
