// The window's tabs and frame without a menu: the interval and the SMTP server with their
// alerts, the end of an edit by a tab switch or by closing, the authentication pop-up,
// the credentials, the first tab, the summary's colours, help and the log, and a store
// that cannot be written.
#include "window_test_support.h"

#include "acct_entry.h"
#include "status_reader.h"

#include <QTextBlock>
#include <QTextCursor>

namespace {

// A shown, active window over home's settings, set up with its main view.
struct Window {
    Window(const TestHome& home, Surroundings& around) : window(home.SettingsPath().toStdString(), &alerts, around.pane) {
        window.show();
        window.activateWindow();
        [&] { QVERIFY(QTest::qWaitForWindowActive(&window)); }();
        window.mainViewDidLoad();
    }
    // Types text into field as the only content, leaving the focus there.
    void type(QLineEdit* field, const QString& text) {
        window.prefTab()->setCurrentWidget(field->parentWidget());
        field->setFocus(Qt::TabFocusReason);
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }
    RecordingAlerts alerts;
    TarnwellPreferencesPref window;
};

const QString kInvalid = QStringLiteral("The Time Interval value is invalid.  Supported values are 10-9999.");

// The colour given to the line, invalid where none was given.
QColor colourOfLine(QTextDocument* text, const QString& content) {
    for (QTextBlock block = text->begin(); block.isValid(); block = block.next()) {
        const QTextCharFormat format = block.begin().fragment().charFormat();
        if (block.text() == content && format.hasProperty(QTextFormat::ForegroundBrush))
            return format.foreground().color();
    }
    return {};
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void interval_data();
    void interval();
    void endOfEditOnTabSwitchAndClose();
    void smtpHost_data();
    void smtpHost();
    void authenticationChoice_data();
    void authenticationChoice();
    void credentialsAndSender();
    void firstTab_data();
    void firstTab();
    void statusAndSummary();
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
    StatusTab* tab = w.window.statusTab();
    QVERIFY(tab->autoTime()->isEnabled());
    QFETCH(QString, typed);
    w.type(tab->autoTime(), typed);
    QTest::keyClick(tab->autoTime(), Qt::Key_Return);

    QFETCH(QString, explanation);
    if (explanation.isEmpty()) {
        QCOMPARE(w.alerts.Messages(), QStringList());
    } else {
        QCOMPARE(w.alerts.Messages(), QStringList{kInvalid});
        QCOMPARE(w.alerts.shown[0].informative, explanation);
        QCOMPARE(w.alerts.shown[0].buttons, QStringList{"OK"});
    }
    QFETCH(QString, stored);
    QCOMPARE(tab->autoTime()->text(), stored);
    QCOMPARE(home.Stored("autoTime"), stored);
    // The menu re-reads both settings on "autoFwd".
    QVERIFY(QTest::qWaitFor([&] { return requests.seen.contains("autoFwd"); }, 5000));

    // Switching automatic forwarding off disables the interval and tells the menu.
    requests.seen.clear();
    QTest::mouseClick(tab->autoFwd(), Qt::LeftButton);
    QVERIFY(!tab->autoTime()->isEnabled());
    QVERIFY(!tab->autoTimeLbl()->isEnabled());
    QCOMPARE(home.Stored("autoFwd"), QStringLiteral("0"));
    QVERIFY(QTest::qWaitFor([&] { return requests.seen == QStringList{"autoFwd"}; }, 5000));
}

void WindowTest::endOfEditOnTabSwitchAndClose() {
    TestHome home;
    home.Store("autoFwd", "1");
    Surroundings around;
    {
        Window w(home, around);
        w.type(w.window.statusTab()->autoTime(), "5");
        w.window.prefTab()->setCurrentWidget(w.window.smtpTab());
        QCOMPARE(w.alerts.Messages(), QStringList{kInvalid});
        QCOMPARE(home.Stored("autoTime"), QStringLiteral("10"));
        // Back and forth without typing ends nothing more.
        w.window.prefTab()->setCurrentWidget(w.window.statusTab());
        w.window.prefTab()->setCurrentWidget(w.window.aboutTab());
        QCOMPARE(w.alerts.shown.size(), 1);

        w.alerts.shown.clear();
        w.type(w.window.smtpTab()->smtpHost(), "smtp.gmail.com:587");
        w.window.prefTab()->setCurrentWidget(w.window.statusTab());
        QCOMPARE(w.alerts.shown.size(), 1);
        QCOMPARE(home.Stored("SMTPHost"), QStringLiteral("smtp.gmail.com:587"));

        // Another window taking the focus ends no edit; closing ends it.
        w.alerts.shown.clear();
        w.type(w.window.smtpTab()->smtpHost(), "mail.example.net");
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QCOMPARE(home.Stored("SMTPHost"), QStringLiteral("smtp.gmail.com:587"));
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        w.window.close();
        QCOMPARE(home.Stored("SMTPHost"), QStringLiteral("mail.example.net"));
        QCOMPARE(w.alerts.shown.size(), 0);
    }
}

void WindowTest::smtpHost_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("alerts");
    const QString blank = QStringLiteral("Outgoing Mail Server (SMTP) can not be blank.");
    const auto warns = [](const char* host) {
        return QStringList{QStringLiteral("The SMTP server name you have entered (%1) will not forward mail properly.")
                               .arg(QLatin1String(host))};
    };
    QTest::newRow("own server") << "smtp.example.net" << QStringList();
    QTest::newRow("gmail") << "smtp.gmail.com" << warns("smtp.gmail.com");
    QTest::newRow("googlemail with a port, in capitals") << "SMTP.GoogleMail.com:587" << warns("SMTP.GoogleMail.com");
    QTest::newRow("mac, blanks around the host") << " smtp.mac.com :25" << warns("smtp.mac.com");
    QTest::newRow("aol") << "smtp.aol.com" << warns("smtp.aol.com");
    QTest::newRow("a public name after the colon") << "mail.example.net:smtp.gmail.com" << QStringList();
    QTest::newRow("a public name inside a longer one") << "smtp.gmail.com.example.net" << QStringList();
    QTest::newRow("blanks only") << "   " << QStringList{blank};
    QTest::newRow("a port only") << ":25" << QStringList();
}

void WindowTest::smtpHost() {
    TestHome home;
    home.Store("SMTPHost", "previous.example.net");
    Surroundings around;
    Window w(home, around);
    QFETCH(QString, typed);
    w.type(w.window.smtpTab()->smtpHost(), typed);
    QTest::keyClick(w.window.smtpTab()->smtpHost(), Qt::Key_Return);
    QTEST(w.alerts.Messages(), "alerts");
    for (const Alert& alert : w.alerts.shown)
        QVERIFY(!alert.informative.isEmpty());
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

void WindowTest::authenticationChoice() {
    TestHome home;
    QFETCH(QString, stored);
    home.Store("SMTPAuth", stored);
    Surroundings around;
    Window w(home, around);
    SmtpTab* tab = w.window.smtpTab();
    QFETCH(int, index);
    QCOMPARE(tab->smtpAuth()->currentIndex(), index);
    QCOMPARE(home.Stored("SMTPAuth"), QString::number(index));
    QCOMPARE(tab->smtpUser()->isEnabled(), index == 1);
    QCOMPARE(tab->smtpPassLbl()->isEnabled(), index == 1);
    QCOMPARE(w.alerts.shown.size(), 0);
}

void WindowTest::credentialsAndSender() {
    TestHome home;
    home.Store("SMTPAuth", "1");
    home.Store("SMTPLogin", encodeBase64("me@example.net:pa:ss"));
    home.Store("SMTPFrom", encodeBase64("sender@example.net"));
    Surroundings around;
    Window w(home, around);
    SmtpTab* tab = w.window.smtpTab();
    QCOMPARE(tab->smtpUser()->text(), QStringLiteral("me@example.net"));
    QCOMPARE(tab->smtpPass()->text(), QStringLiteral("pa:ss"));
    QCOMPARE(tab->smtpFrom()->text(), QStringLiteral("sender@example.net"));

    w.type(tab->smtpPass(), "");
    QTest::keyClick(tab->smtpPass(), Qt::Key_Return);
    QCOMPARE(decodeBase64(home.Stored("SMTPLogin")), QStringLiteral("me@example.net:"));
    w.type(tab->smtpUser(), "");
    QTest::keyClick(tab->smtpUser(), Qt::Key_Return);
    QCOMPARE(home.Stored("SMTPLogin"), QString());
    w.type(tab->smtpFrom(), "");
    QTest::keyClick(tab->smtpFrom(), Qt::Key_Return);
    QCOMPARE(home.Stored("SMTPFrom"), QString());

    w.window.prefTab()->setCurrentWidget(tab);
    QTest::mouseClick(tab->smtpSecure(), Qt::LeftButton);
    QCOMPARE(home.Stored("SMTPSecure"), QStringLiteral("1"));
    QTest::mouseClick(tab->smtpVfy(), Qt::LeftButton);
    QCOMPARE(home.Stored("SMTPVfy"), QStringLiteral("1"));
    tab->smtpAuth()->setCurrentIndex(0);
    emit tab->smtpAuth()->activated(0);
    QCOMPARE(home.Stored("SMTPAuth"), QStringLiteral("0"));
    QVERIFY(!tab->smtpUser()->isEnabled());
}

void WindowTest::firstTab_data() {
    QTest::addColumn<QStringList>("accounts");
    QTest::addColumn<QString>("smtpHost");
    QTest::addColumn<QString>("tab");
    QTest::addColumn<bool>("setupHelp");
    const QStringList one{AcctEntry{"ann@example.com", "pw", "POP", "pop.example.com", "0", "ann", "(default)", "1", "1"}
                              .ToRecord()};
    QTest::newRow("no accounts") << QStringList() << "smtp.example.net" << "AccountsTab" << true;
    QTest::newRow("no SMTP server") << one << "  " << "SmtpTab" << true;
    QTest::newRow("both") << one << "smtp.example.net" << "StatusTab" << false;
}

void WindowTest::firstTab() {
    TestHome home;
    QFETCH(QStringList, accounts);
    QFETCH(QString, smtpHost);
    home.Store("Account", accounts);
    home.Store("SMTPHost", smtpHost);
    Surroundings around;
    Window w(home, around);
    QTEST(w.window.prefTab()->currentWidget()->objectName(), "tab");
    QFETCH(bool, setupHelp);
    QCOMPARE(around.opened.size(), setupHelp ? 1 : 0);
    if (setupHelp) {
        QCOMPARE(around.opened[0].fileName(), QStringLiteral("setup.html"));
        QCOMPARE(around.opened[0].fragment(), QStringLiteral("setup"));
    }
    QCOMPARE(w.alerts.shown.size(), 0);
}

void WindowTest::statusAndSummary() {
    TestHome home;
    Surroundings around;
    Window w(home, around);
    StatusTab* tab = w.window.statusTab();
    QCOMPARE(tab->currAccount()->text(), QStringLiteral("None"));
    QCOMPARE(tab->appStatus()->text(), QStringLiteral("Getting status"));

    tab->notificationCallbackMenu({{"msgControl", "STATUS"}, {"statAcct", "ann@example.com"}, {"statMsg", "Getting mail list"}});
    QCOMPARE(tab->getMail()->text(), QStringLiteral("Stop"));
    QCOMPARE(tab->currAccount()->text(), QStringLiteral("ann@example.com"));
    tab->notificationCallbackMenu({{"msgControl", "status"}, {"statAcct", "none"}, {"statMsg", "Idle"}});
    QCOMPARE(tab->getMail()->text(), QStringLiteral("Get Mail"));
    QCOMPARE(tab->appStatus()->text(), QStringLiteral("Idle"));

    tab->notificationCallbackMenu({{"msgControl", "summary"},
                                   {"statSummary", "Run completed: 1 Jan 2030 10:00\n   1 account completed with Retry\n"
                                                   "   Critical error occurred\n   1 account skipped with errors"}});
    QTextDocument* text = tab->statSummary()->document();
    QCOMPARE(colourOfLine(text, "   1 account completed with Retry"), StatusReader::Orange());
    QCOMPARE(colourOfLine(text, "   Critical error occurred"), StatusReader::DarkRed());
    QCOMPARE(colourOfLine(text, "   1 account skipped with errors"), QColor());
    QVERIFY(tab->statSummary()->isReadOnly());

    // Other messages change nothing.
    tab->notificationCallbackMenu({{"msgControl", "other"}, {"statAcct", "x"}, {"statSummary", "y"}});
    QCOMPARE(tab->appStatus()->text(), QStringLiteral("Idle"));
}

void WindowTest::helpAndLog() {
    TestHome home;
    Surroundings around;
    Window w(home, around);
    around.opened.clear();
    for (const auto& [tab, anchor] : {std::pair<QWidget*, const char*>{w.window.statusTab(), "status"},
                                      {w.window.smtpTab(), "smtp"},
                                      {w.window.aboutTab(), "about"}}) {
        w.window.prefTab()->setCurrentWidget(tab);
        QPushButton* help = nullptr;
        for (QPushButton* button : tab->findChildren<QPushButton*>())
            if (button->text() == QLatin1String("?"))
                help = button;
        QVERIFY(help);
        QTest::mouseClick(help, Qt::LeftButton);
        QCOMPARE(around.opened.last().fragment(), QLatin1String(anchor));
        QVERIFY(around.opened.last().isLocalFile());
        const QString page = around.opened.last().toLocalFile();
        QCOMPARE(QFileInfo(page).fileName(), QLatin1String(anchor) + QStringLiteral(".html"));
        // The page holds its anchor.
        QVERIFY(ReadBytes(page).contains(QByteArray("id=\"") + anchor + '"'));
    }
    for (const char* anchor : {"setup", "accounts", "accountpane"})
        QVERIFY(ReadBytes(QStringLiteral(TARNWELL_BIN_DIR "/help/%1.html").arg(QLatin1String(anchor)))
                    .contains(QByteArray("id=\"") + anchor + '"'));
    QCOMPARE(w.alerts.shown.size(), 0);

    // No browser: said in an alert.
    around.openResult = false;
    w.window.help().open(QStringLiteral("smtp"));
    QCOMPARE(w.alerts.Messages(), QStringList{"The help page cannot be shown."});

    // The log: shown when it exists, else where it would be is said.
    w.alerts.shown.clear();
    around.openResult = true;
    w.window.prefTab()->setCurrentWidget(w.window.statusTab());
    QTest::mouseClick(w.window.statusTab()->showLog(), Qt::LeftButton);
    const QString log = home.Path() + QStringLiteral("/Library/Logs/Tarnwell.log");
    QCOMPARE(w.alerts.Messages(),
             QStringList{QStringLiteral("The Console application could not be opened to view the log file. "
                                        "The file is located at %1.")
                             .arg(log)});
    QDir().mkpath(QFileInfo(log).absolutePath());
    WriteBytes(log, "Tarnwell 5.0.3\n");
    QTest::mouseClick(w.window.statusTab()->showLog(), Qt::LeftButton);
    QCOMPARE(around.opened.last(), QUrl::fromLocalFile(log));
    QCOMPARE(w.alerts.shown.size(), 1);

    // Pages that are not there.
    HelpBook missing(home.Path(), around.pane.openUrl, w.alerts);
    missing.open(QStringLiteral("status"));
    QCOMPARE(w.alerts.Messages().last(), QStringLiteral("The help page cannot be found."));
    QCOMPARE(w.window.aboutTab()->aboutVersion()->text(), QStringLiteral("Version 5.0.3"));
}

void WindowTest::changeThatCannotBeSaved() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("blocker"), "a file, not a folder");
    Surroundings around;
    RecordingAlerts alerts;
    TarnwellPreferencesPref window(dir.filePath("blocker/p.plist").toStdString(), &alerts, around.pane);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.mainViewDidLoad();
    // The first synchronisation, and the authentication choice stored back.
    QCOMPARE(alerts.Messages(), QStringList(2, "The settings could not be saved."));
    alerts.shown.clear();
    window.prefTab()->setCurrentWidget(window.statusTab());
    window.statusTab()->showMenu()->click();
    QCOMPARE(alerts.Messages(), QStringList{"The settings could not be saved."});
    QVERIFY(alerts.shown[0].informative.contains("cannot be created: Not a directory"));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
