// Alerts of the preferences window. Every alert goes through ShowAlert and one
// AlertPresenter: the window's presents a window-modal message box (the stand-in for a
// sheet) and waits for it; a test's records what would have been shown and answers.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

struct Alert {
    QString kind;        // "Caution", "Stop", ...: names the alert, is not shown
    QString message;     // the headline
    QString informative; // the explanation; empty for none
    QStringList buttons; // one to three titles, the first is the default
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Shows the alert until the user answers: 1, 2 or 3 for the button chosen, by its
    // position in alert.buttons; 0 when the alert ended without one.
    virtual int Present(const Alert& alert) = 0;
};

// Window-modal message boxes with the warning icon on the modal dialog open over window
// (the account form) or on window itself (application-modal without either), each waited
// for in a local event loop.
class SheetAlerts : public AlertPresenter {
public:
    explicit SheetAlerts(QWidget* window) : window_(window) {}
    int Present(const Alert& alert) override;

private:
    QPointer<QWidget> window_;
};

// The window's one alert helper. options: up to three comma-separated button titles,
// each trimmed; the first is "OK" when empty or "-1", a second or third "-1" becomes
// "Cancel" or "Don't Save", an empty one is left out. Every alert of the window passes
// "-1" (a single "OK"). Returns the presenter's answer.
int ShowAlert(AlertPresenter& presenter, const QString& kind, const QString& options, const QString& alertErr,
              const QString& alertExpl = QString());
