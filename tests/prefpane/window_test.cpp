// The window's tabs without a menu: the interval and the SMTP server with their alerts,
// an edit ended once by a tab switch and stored by closing, the authentication pop-up,
// the first tab, the summary's colours, help, the log and a store that cannot be written.
#include "window_test_support.h"

#include "acct_entry.h"
#include "status_reader.h"

#include <QTextBlock>

namespace {

// A shown, active window over home's settings, set up with its main view.
struct Window {
    Window(const TestHome& home, Surroundings& around) : window(home.SettingsPath().toStdString(), &alerts, around.pane) {
        window.show();
        [&] { QVERIFY(QTest::qWaitForWindowActive(&window)); }();
        window.mainViewDidLoad();
    }
    // Types text into field as its only content and leaves the focus there; with Return
    // when ended.
    void type(QLineEdit* field, const QString& text, bool ended = false) {
        window.prefTab()->setCurrentWidget(field->parentWidget());
        field->setFocus(Qt::TabFocusReason);
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
        if (ended)
            QTest::keyClick(field, Qt::Key_Return);
    }
    RecordingAlerts alerts;
    TarnwellPreferencesPref window;
};

const QString kInvalid = QStringLiteral("The Time Interval value is invalid.  Supported values are 10-9999.");

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void interval_data();
    void interval();
    void editEndsOnceAndIsStoredOnClose();
    void smtpHost_data();
    void smtpHost();
    void authenticationChoice_data();
    void authenticationChoice();
    void firstTab_data();
    void firstTab();
    void summaryColours();
    void helpAndLog();
    void changeThatCannotBeSaved();
};

void WindowTest::interval_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("explanation"); // empty: no alert
    QTest::newRow("5") << "5" << "10" << "The Time Interval will be set to the minimum value.";
    QTest::newRow("12000") << "12000" << "9999" << "The Time Interval will be set to the maximum value.";
    QTest::newRow("abc") << "abc" << "10" << "The Time Interval will be set to the minimum value.";
    QTest::newRow("10") << "10" << "10" << "";
    QTest::newRow("9999") << "9999" << "9999" << "";
}

void WindowTest::interval() {
    TestHome home;
    home.Store("autoFwd", "1");
    Surroundings around;
    Requests requests;
    Window w(home, around);
    QFETCH(QString, typed);
    w.type(w.window.statusTab()->autoTime(), typed, true);
    QFETCH(QString, explanation);
    QCOMPARE(w.alerts.Messages(), explanation.isEmpty() ? QStringList() : QStringList{kInvalid});
    if (!explanation.isEmpty())
        QCOMPARE(w.alerts.shown[0].informative, explanation);
    QFETCH(QString, stored);
    QCOMPARE(w.window.statusTab()->autoTime()->text(), stored);
    QCOMPARE(home.Stored("autoTime"), stored);
    // The menu re-reads both settings on "autoFwd".
    QVERIFY(QTest::qWaitFor([&] { return requests.seen.contains("autoFwd"); }, 5000));
}

void WindowTest::editEndsOnceAndIsStoredOnClose() {
    TestHome home;
    home.Store("autoFwd", "1");
    Surroundings around;
    Window w(home, around);
    w.type(w.window.statusTab()->autoTime(), "5");
    w.window.prefTab()->setCurrentWidget(w.window.smtpTab());
    w.window.prefTab()->setCurrentWidget(w.window.statusTab());
    w.window.prefTab()->setCurrentWidget(w.window.aboutTab());
    QCOMPARE(w.alerts.Messages(), QStringList{kInvalid});
    QCOMPARE(home.Stored("autoTime"), QStringLiteral("10"));

    // Another window taking the focus ends no edit; closing the window does.
    w.type(w.window.smtpTab()->smtpHost(), "mail.example.net");
    QWidget other;
    other.show();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(home.Stored("SMTPHost"), QStringLiteral("(none)"));
    w.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    w.window.close();
    QCOMPARE(home.Stored("SMTPHost"), QStringLiteral("mail.example.net"));
    QCOMPARE(w.alerts.shown.size(), 1);
}

void WindowTest::smtpHost_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("alerts");
    const auto warns = [](const char* host) {
        return QStringList{QStringLiteral("The SMTP server name you have entered (%1) will not forward mail properly.")
                               .arg(QLatin1String(host))};
    };
    QTest::newRow("own server") << "smtp.example.net" << QStringList();
    QTest::newRow("googlemail with a port, in capitals") << "SMTP.GoogleMail.com:587" << warns("SMTP.GoogleMail.com");
    QTest::newRow("blanks around the host") << " smtp.mac.com :25" << warns("smtp.mac.com");
    QTest::newRow("a public name after the colon") << "mail.example.net:smtp.aol.com" << QStringList();
    QTest::newRow("a public name inside a longer one") << "smtp.gmail.com.example.net" << QStringList();
    QTest::newRow("blanks only") << "   " << QStringList{"Outgoing Mail Server (SMTP) can not be blank."};
}

void WindowTest::smtpHost() {
    TestHome home;
    Surroundings around;
    Window w(home, around);
    QFETCH(QString, typed);
    w.type(w.window.smtpTab()->smtpHost(), typed, true);
    QTEST(w.alerts.Messages(), "alerts");
    // Stored as typed, whatever the warning.
    QCOMPARE(home.Stored("SMTPHost"), typed);
}

void WindowTest::authenticationChoice_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("index");
    QTest::newRow("none") << "0" << 0;
    QTest::newRow("login") << "1" << 1;
    QTest::newRow("beyond the pop-up") << "2" << 1;
    QTest::newRow("negative") << "-1" << 1;
    QTest::newRow("not a number") << "abc" << 0;
}

// Any stored choice but 0 means authentication; it is stored back as the pop-up's index.
// Clearing user name and password stores no credentials rather than ":".
void WindowTest::authenticationChoice() {
    TestHome home;
    QFETCH(QString, stored);
    home.Store("SMTPAuth", stored);
    home.Store("SMTPLogin", encodeBase64("me@example.net:pa:ss"));
    Surroundings around;
    Window w(home, around);
    SmtpTab* tab = w.window.smtpTab();
    QFETCH(int, index);
    QCOMPARE(tab->smtpAuth()->currentIndex(), index);
    QCOMPARE(home.Stored("SMTPAuth"), QString::number(index));
    QCOMPARE(tab->smtpUser()->isEnabled(), index == 1);
    QCOMPARE(tab->smtpPass()->text(), QStringLiteral("pa:ss"));
    if (index == 1) {
        w.type(tab->smtpPass(), "", true);
        QCOMPARE(decodeBase64(home.Stored("SMTPLogin")), QStringLiteral("me@example.net:"));
        w.type(tab->smtpUser(), "", true);
        QCOMPARE(home.Stored("SMTPLogin"), QString());
    }
}

void WindowTest::firstTab_data() {
    QTest::addColumn<QStringList>("accounts");
    QTest::addColumn<QString>("smtpHost");
    QTest::addColumn<QString>("tab");
    const QStringList one{AcctEntry{"ann@example.com", "pw", "POP", "pop.example.com", "0", "ann", "(default)", "1", "1"}
                              .ToRecord()};
    QTest::newRow("no accounts") << QStringList() << "smtp.example.net" << "AccountsTab";
    QTest::newRow("no SMTP server") << one << "  " << "SmtpTab";
    QTest::newRow("both") << one << "smtp.example.net" << "StatusTab";
}

// The first tab, with the set-up help where something is missing.
void WindowTest::firstTab() {
    TestHome home;
    QFETCH(QStringList, accounts);
    QFETCH(QString, smtpHost);
    home.Store("Account", accounts);
    home.Store("SMTPHost", smtpHost);
    Surroundings around;
    Window w(home, around);
    QFETCH(QString, tab);
    QCOMPARE(w.window.prefTab()->currentWidget()->objectName(), tab);
    const QList<QUrl> setup{QUrl(QStringLiteral("file://" TARNWELL_BIN_DIR "/help/setup.html#setup"))};
    QCOMPARE(around.opened, tab == QLatin1String("StatusTab") ? QList<QUrl>() : setup);
    QCOMPARE(w.alerts.shown.size(), 0);
}

// Only the first line with "retry" and the first with "error" are coloured.
void WindowTest::summaryColours() {
    TestHome home;
    Surroundings around;
    Window w(home, around);
    StatusTab* tab = w.window.statusTab();
    tab->notificationCallbackMenu({{"msgControl", "SUMMARY"},
                                   {"statSummary", "Run completed: 1 Jan 2030 10:00\n   1 account completed with Retry\n"
                                                   "   Critical error occurred\n   1 account skipped with errors"}});
    QList<QColor> colours;
    for (QTextBlock line = tab->statSummary()->document()->begin(); line.isValid(); line = line.next())
        colours << line.begin().fragment().charFormat().foreground().color();
    const QColor plain = QTextCharFormat().foreground().color();
    QCOMPARE(colours, (QList<QColor>{plain, StatusReader::Orange(), StatusReader::DarkRed(), plain}));
}

void WindowTest::helpAndLog() {
    TestHome home;
    Surroundings around;
    Window w(home, around);
    around.opened.clear();
    // The "?" of the SMTP tab, of the account list and of the account form.
    for (QWidget* page : {static_cast<QWidget*>(w.window.smtpTab()), static_cast<QWidget*>(&w.window.accountsTab()),
                          static_cast<QWidget*>(&w.window.accountsTab().form())}) {
        const QList<QPushButton*> buttons = page->findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly);
        std::find_if(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->text() == "?"; })[0]->click();
    }
    const auto page = [](const char* name) {
        return QUrl(QStringLiteral("file://" TARNWELL_BIN_DIR "/help/%1.html#%1").arg(QLatin1String(name)));
    };
    QCOMPARE(around.opened, (QList<QUrl>{page("smtp"), page("accounts"), page("accountpane")}));
    for (const char* anchor : {"setup", "accounts", "accountpane", "status", "smtp", "about"})
        QVERIFY(ReadBytes(QStringLiteral(TARNWELL_BIN_DIR "/help/%1.html").arg(QLatin1String(anchor)))
                    .contains(QByteArray("id=\"") + anchor + '"'));
    around.openResult = false;
    w.window.help().open(QStringLiteral("smtp"));
    QCOMPARE(w.alerts.Messages(), QStringList{"The help page cannot be shown."});

    // The log is shown when it exists, else where it would be is said.
    around.openResult = true;
    const QString log = home.Path() + QStringLiteral("/Library/Logs/Tarnwell.log");
    w.window.statusTab()->showLog()->click();
    QVERIFY(w.alerts.shown.last().message.endsWith("The file is located at " + log + "."));
    QDir().mkpath(QFileInfo(log).absolutePath());
    WriteBytes(log, "Tarnwell 5.0.3\n");
    w.window.statusTab()->showLog()->click();
    QCOMPARE(around.opened.last(), QUrl::fromLocalFile(log));
    QCOMPARE(w.alerts.shown.size(), 2);
}

void WindowTest::changeThatCannotBeSaved() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("blocker"), "a file, not a folder");
    Surroundings around;
    RecordingAlerts alerts;
    TarnwellPreferencesPref window(dir.filePath("blocker/p.plist").toStdString(), &alerts, around.pane);
    window.mainViewDidLoad();
    alerts.shown.clear();
    window.statusTab()->showMenu()->click();
    QCOMPARE(alerts.Messages(), QStringList{"The settings could not be saved."});
    QVERIFY(alerts.shown[0].informative.contains("cannot be created: Not a directory"));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
