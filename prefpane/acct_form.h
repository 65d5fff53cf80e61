// The account form: a window-modal dialog over the preferences window that adds or
// changes one account. Its layout follows the account type; OK stores nothing itself:
// it checks the input, refuses (with a "Caution" alert) what the agent could not use, and
// hands the accepted account to whoever opened the form (accepted()).
#pragma once

#include "acct_entry.h"
#include "alerts.h"

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;
class uTextView;

class AcctForm : public QDialog {
    Q_OBJECT
public:
    // The titles of the type pop-up; the first, empty one means no type chosen yet.
    static QStringList acctTypes();

    AcctForm(AlertPresenter& alerts, QWidget* parent);

    // Fills the form with entry (editing) or a new account's values (entry null), puts
    // the focus in the address field and opens the form window-modal.
    void showAcctForm(const AcctEntry* entry);
    // The account of the last OK that passed the checks.
    const AcctEntry& result() const { return result_; }

    // The pop-up's action: server, TLS and login only for POP and IMAP; "Leave" unchecked
    // and disabled for Gmail.
    void acctType();
    // The address field's action: while no type is chosen, the address's domain picks one.
    void acctAddr();
    void setTypeFromDomain(const QString& domain);
    // Checks the input; when it passes, keeps it as result() and closes the form.
    void acctOk();

signals:
    // The form's help page, at the anchor "accountpane".
    void helpRequested(const QString& anchor);

private:
    // The checks in their order; the first that fails shows its alert. An empty login
    // name becomes the address up to its "@" on the way.
    bool validate(AcctEntry& entry);
    // The form's top edge stays where it is; the bottom moves.
    void resizeKeepingTop(int height);
    void fitHeight();

    AlertPresenter& alerts_;
    QFormLayout* fields_;
    QLineEdit* acctAddr_;
    QLineEdit* acctPass_;
    QComboBox* acctType_;
    QLineEdit* acctPop_;
    QCheckBox* acctSecure_;
    QLineEdit* acctUser_;
    uTextView* acctFwd_;
    QCheckBox* acctLeave_;
    QCheckBox* acctEnable_;
    AcctEntry result_;
};
