// The account form: its checks in order and what it refuses for the agent's sake, what
// OK stores, the layout and detection of the type, and the form following its
// forwarding editor's height with its top edge fixed.
#include "acct_form.h"
#include "forwarding_editor.h"
#include "prefpane_test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>

// Address, password, type, server, login name, forwarding text.
using Input = QStringList;

class AcctFormTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void acctOk_data();
    void acctOk();
    void typeLayout_data();
    void typeLayout();
    void growsAndShrinksWithItsTopEdgeFixed();
    void alertsWaitOnTheForm();

private:
    template <class T> T* field(const char* name) { return form_->findChild<T*>(QLatin1String(name)); }

    std::unique_ptr<QWidget> window_;
    RecordingAlerts alerts_;
    AcctForm* form_ = nullptr;
};

void AcctFormTest::init() {
    window_ = std::make_unique<QWidget>();
    alerts_.shown.clear();
    form_ = new AcctForm(alerts_, window_.get());
    form_->showAcctForm(nullptr);
}

void AcctFormTest::cleanup() {
    window_.reset();
}

void AcctFormTest::acctOk_data() {
    QTest::addColumn<Input>("in");
    // The alert's message, " | " and a part of its explanation; or "stored: " and the
    // address, password, type, server, login name and forwarding text handed on.
    QTest::addColumn<QString>("outcome");
    // Each row fails at one check although the fields after it are empty as well.
    QTest::newRow("no address") << Input() << "The E-Mail Address can not be blank.";
    QTest::newRow("address of blanks") << Input{"   "} << "The E-Mail Address can not be blank.";
    QTest::newRow("no at sign") << Input{"me"}
                                << "The E-Mail Address is invalid. | "
                                   "The E-Mail Address should be in the form \"me@example.com\".";
    QTest::newRow("no password") << Input{"me@example.com"} << "The Password can not be blank.";
    QTest::newRow("no type") << Input{"me@example.com", "pw"} << "The Account Type can not be blank.";
    QTest::newRow("server of blanks") << Input{"me@example.com", "pw", "POP", "  "}
                                      << "The Mail Server can not be blank for POP or IMAP accounts.";
    // What the agent would skip or cut.
    QTest::newRow("password not ASCII")
        << Input{"me@example.com", "pässword", "Yahoo"}
        << "The Password contains characters Tarnwell cannot use. | \"ä\" is not an ASCII character.";
    QTest::newRow("tab in the server")
        << Input{"me@example.com", "pw", "IMAP", "imap\t.example.com"}
        << "The Mail Server contains characters Tarnwell cannot use. | It holds a tab or a line break.";
    QTest::newRow("forwarding not ASCII")
        << Input{"me@example.com", "pw", "AOL", "", "", "me@exämple.org"}
        << "The Forwarding Address contains characters Tarnwell cannot use. | \"ä\" is not an ASCII character.";
    QTest::newRow("colon in the password")
        << Input{"me@example.com", "pass:word", "Gmail"}
        << "The Password can not contain a colon (\":\"). | the agent would cut the password at this one.";
    QTest::newRow("colon in the address")
        << Input{"me:you@example.com", "pw", "Gmail"}
        << "The E-Mail Address can not contain a colon (\":\"). | the agent would cut the e-mail address at this one.";
    QTest::newRow("record over 511")
        << Input{"me@example.com", "pw", "Yahoo", "", "", QString(458, 'f')}
        << "The account's settings are too long. | Stored, they take 512 characters, and Tarnwell Agent reads at most 511.";
    // Accepted: preset servers whatever was typed, the login name from the address.
    QTest::newRow("Gmail") << Input{" me@gmail.com ", "pw", "Gmail", "mine.example.com"}
                           << "stored: me@gmail.com pw Gmail pop.gmail.com me (default)";
    QTest::newRow("Yahoo") << Input{"me@yahoo.com", "pw", "Yahoo"} << "stored: me@yahoo.com pw Yahoo yahoo.com me (default)";
    QTest::newRow("AOL") << Input{"me@aol.com", "pw", "AOL"} << "stored: me@aol.com pw AOL imap.aol.com me (default)";
    QTest::newRow("IMAP") << Input{"me@example.com", "pw", "IMAP", " imap.example.com:993 ", "login", "a@example.org"}
                          << "stored: me@example.com pw IMAP imap.example.com:993 login a@example.org";
    QTest::newRow("line breaks of the forwarding text as blanks")
        << Input{"me@example.com", "pw", "POP", "pop.example.com", "", "a@example.org,\nb@example.org"}
        << "stored: me@example.com pw POP pop.example.com me a@example.org, b@example.org";
}

// Refused with one "Caution" alert, the form staying open; or handed on, the form closed.
void AcctFormTest::acctOk() {
    QFETCH(Input, in);
    QFETCH(QString, outcome);
    QSignalSpy accepted(form_, &QDialog::accepted);
    FillForm(*form_, in);
    form_->acctOk();
    if (outcome.startsWith(QLatin1String("stored: "))) {
        QCOMPARE(alerts_.Messages(), QStringList());
        QCOMPARE(accepted.size(), 1);
        const AcctEntry& e = form_->result();
        QCOMPARE(QStringList({e.acctAddr, e.acctPass, e.acctType, e.acctPop, e.acctUser, e.acctFwd}).join(' '),
                 outcome.mid(8));
        return;
    }
    QCOMPARE(alerts_.shown.size(), 1);
    const Alert& alert = alerts_.shown.first();
    const QString explanation = outcome.section(QLatin1String(" | "), 1);
    QCOMPARE(alert.message, outcome.section(QLatin1String(" | "), 0, 0));
    QVERIFY2(explanation.isEmpty() ? alert.informative.isEmpty() : alert.informative.contains(explanation),
             qPrintable(alert.informative));
    QCOMPARE(alert.kind, QStringLiteral("Caution"));
    QVERIFY(form_->isVisible());
    QCOMPARE(accepted.size(), 0);
}

void AcctFormTest::typeLayout_data() {
    QTest::addColumn<QString>("chosen"); // the type selected before the address is typed
    QTest::addColumn<QString>("addr");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("serverShown");
    QTest::addColumn<bool>("leaveEnabled");
    QTest::newRow("Gmail domain") << "" << "me@GMail.com " << "Gmail" << false << false;
    QTest::newRow("Hotmail family") << "" << "me@hotmail.co.uk" << "Hotmail" << false << true;
    QTest::newRow("Yahoo family") << "" << "me@ymail.com" << "Yahoo" << false << true;
    QTest::newRow("any other domain") << "" << "me@example.com" << "POP" << true << true;
    QTest::newRow("no domain yet") << "" << "me@ " << "" << false << true;
    QTest::newRow("type already chosen") << "IMAP" << "me@gmail.com" << "IMAP" << true << true;
}

// The address picks the type only while none is chosen; Gmail clears and disables
// "Leave", and choosing POP afterwards gives back the server fields and the box.
void AcctFormTest::typeLayout() {
    auto* type = field<QComboBox>("acctType");
    auto* leave = field<QCheckBox>("acctLeave");
    QCOMPARE(type->count(), 9);
    QCOMPARE(AcctForm::acctTypes(),
             QStringList({"", "AOL", "Gmail", "Hotmail", "MSN", "Netscape", "Yahoo", "POP", "IMAP"}));
    QFETCH(QString, chosen);
    type->setCurrentText(chosen);
    leave->setChecked(true);
    QFETCH(QString, addr);
    field<QLineEdit>("acctAddr")->setText(addr);
    emit field<QLineEdit>("acctAddr")->editingFinished();
    QTEST(type->currentText(), "type");
    const auto shown = [this] {
        return field<QLineEdit>("acctPop")->isVisibleTo(form_) && field<QCheckBox>("acctSecure")->isVisibleTo(form_) &&
               field<QLineEdit>("acctUser")->isVisibleTo(form_);
    };
    QTEST(shown(), "serverShown");
    QTEST(leave->isEnabled(), "leaveEnabled");
    QCOMPARE(leave->isChecked(), leave->isEnabled());
    type->setCurrentText(QStringLiteral("POP"));
    QVERIFY(shown());
    QVERIFY(leave->isEnabled());
}

// A comma makes the form 34 taller, the last comma gone as much lower, the top edge
// staying; a form opened for an entry with a comma opens enlarged. Return in the
// one-line editor presses OK.
void AcctFormTest::growsAndShrinksWithItsTopEdgeFixed() {
    auto* fwd = field<uTextView>("acctFwd");
    form_->move(100, 120);
    const QRect small = form_->geometry();
    fwd->setPlainText(QStringLiteral("a@example.org, b@example.org"));
    QCOMPARE(form_->geometry(), small.adjusted(0, 0, 0, 34));
    fwd->setPlainText(QStringLiteral("a@example.org"));
    QCOMPARE(form_->geometry(), small);

    form_->reject();
    const AcctEntry entry =
        AcctEntry::FromRecord(QStringLiteral("bWVAZXhhbXBsZS5jb206cHc=\tyahoo.com\ta@x.org,b@x.org\t\t\t\t\t\tYahoo\t"));
    form_->showAcctForm(&entry);
    QCOMPARE(form_->geometry(), small.adjusted(0, 0, 0, 34));

    QSignalSpy accepted(form_, &QDialog::accepted);
    fwd->setPlainText(QStringLiteral("a@example.org"));
    fwd->setFocus();
    QTest::keyClick(fwd, Qt::Key_Return);
    QCOMPARE(accepted.size(), 1);
    QCOMPARE(form_->result().acctAddr, QStringLiteral("me@example.com"));
}

// The window's alerts appear on the open form, which waits for the answer.
void AcctFormTest::alertsWaitOnTheForm() {
    SheetAlerts sheets(window_.get());
    AcctForm form(sheets, window_.get());
    window_->show();
    form.showAcctForm(nullptr);
    QString shown;
    QWidget* on = nullptr;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                shown = box->text();
                on = box->windowModality() == Qt::WindowModal ? box->parentWidget() : nullptr;
                box->buttons().first()->click();
            }
    });
    poll.start(10);
    form.acctOk();
    QCOMPARE(shown, QStringLiteral("The E-Mail Address can not be blank."));
    QCOMPARE(on, &form);
    QVERIFY(form.isVisible());
}

QTEST_MAIN(AcctFormTest)
#include "acct_form_test.moc"
