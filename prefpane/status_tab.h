// The Status tab: the menu's current status and last run summary, the button that asks
// for a run (or stops it), automatic forwarding and its interval, the panel icon switch
// and the log. Every change is stored at once and told to the menu.
#pragma once

#include "alerts.h"
#include "help.h"
#include "notifications.h"
#include "pref_access.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QWidget>

#include <functional>

class StatusTab : public QWidget {
    Q_OBJECT
public:
    // Posts a control request to the menu ("getMail", "getStatus", "autoFwd", "showMenu").
    using Request = std::function<void(const QString& control)>;

    StatusTab(PrefAccess& prefs, AlertPresenter& alerts, Request request, UrlOpener openUrl,
              QWidget* parent = nullptr);

    // "showMenu" into its check box: on unless it is exactly "0".
    void loadShowMenu();
    // "autoFwd" (on unless exactly "0") and "autoTime" (default 15) into their controls.
    void loadAutoFwd();
    // A message of the menu, by "msgControl" (any case): "init" is answered with
    // "getStatus", "status" and "summary" are shown; others are ignored.
    void notificationCallbackMenu(const notify::UserInfo& userInfo);

    QLabel* currAccount() const { return currAccount_; }
    QLabel* appStatus() const { return appStatus_; }
    QPushButton* getMail() const { return getMail_; }
    QTextEdit* statSummary() const { return statSummary_; }
    QCheckBox* autoFwd() const { return autoFwd_; }
    QLineEdit* autoTime() const { return autoTime_; }
    QLabel* autoTimeLbl() const { return autoTimeLbl_; }
    QCheckBox* showMenu() const { return showMenu_; }
    QPushButton* showLog() const { return showLog_; }

signals:
    void helpRequested(const QString& anchor);

private:
    void autoFwdChanged();
    // The interval's controls follow the check box.
    void setAutoTime();
    // The interval as typed, brought within 10 to 9999 minutes with an alert.
    void autoTimeEnded();
    void showMenuChanged();
    void openLog();
    void showSummary(const QString& summary);

    PrefAccess& prefs_;
    AlertPresenter& alerts_;
    Request request_;
    UrlOpener openUrl_;
    QLabel* currAccount_;
    QLabel* appStatus_;
    QPushButton* getMail_;
    QTextEdit* statSummary_;
    QCheckBox* autoFwd_;
    QLineEdit* autoTime_;
    QLabel* autoTimeLbl_;
    QCheckBox* showMenu_;
    QPushButton* showLog_;
};
