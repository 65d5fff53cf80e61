// The SMTP tab: the outgoing server, TLS, authentication with user name and password,
// the sender address and the checking relay. Every change is stored at once.
#pragma once

#include "alerts.h"
#include "pref_access.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

class SmtpTab : public QWidget {
    Q_OBJECT
public:
    SmtpTab(PrefAccess& prefs, AlertPresenter& alerts, QWidget* parent = nullptr);

    // The settings into the controls. Any stored "SMTPAuth" other than 0 selects
    // authentication (the pop-up has two items); the choice is stored back.
    void loadSettings();

    QLineEdit* smtpHost() const { return smtpHost_; }
    QCheckBox* smtpSecure() const { return smtpSecure_; }
    QComboBox* smtpAuth() const { return smtpAuth_; }
    QLineEdit* smtpUser() const { return smtpUser_; }
    QLabel* smtpUserLbl() const { return smtpUserLbl_; }
    QLineEdit* smtpPass() const { return smtpPass_; }
    QLabel* smtpPassLbl() const { return smtpPassLbl_; }
    QCheckBox* smtpVfy() const { return smtpVfy_; }
    QLineEdit* smtpFrom() const { return smtpFrom_; }

signals:
    void helpRequested(const QString& anchor);

private:
    // The server as typed, after a warning when it is blank or a public server.
    void smtpHostEnded();
    void smtpAuthChanged();
    // User name and password enabled only with authentication.
    void setAuthInfo();
    void saveSmtpLogin();
    void smtpFromEnded();
    void storeFlag(const char* key, const QCheckBox* box);
    void caution(const QString& message, const QString& explanation);

    PrefAccess& prefs_;
    AlertPresenter& alerts_;
    QLineEdit* smtpHost_;
    QCheckBox* smtpSecure_;
    QComboBox* smtpAuth_;
    QLabel* smtpUserLbl_;
    QLineEdit* smtpUser_;
    QLabel* smtpPassLbl_;
    QLineEdit* smtpPass_;
    QCheckBox* smtpVfy_;
    QLineEdit* smtpFrom_;
};
