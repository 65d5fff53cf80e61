// All three programs together: the window starts the real menu, "Get Mail" makes the menu
// run the real agent against Dovecot and aiosmtpd, and the window's Status tab shows that
// run's summary, its error line in dark red.
#include "../prefpane/window_test_support.h"

#include "acct_entry.h"
#include "aiosmtpd.h"
#include "dovecot.h"
#include "status_reader.h"

#include <QTextBlock>

namespace {

constexpr int kStartWait = 15000;
constexpr int kRunWait = 90000;

QString Account(const QString& address, const char* password, int port) {
    return AcctEntry{address, QLatin1String(password), "POP", QStringLiteral("127.0.0.1:%1").arg(port), "0",
                     QLatin1String(Dovecot::kUser), "(default)", "1", "1"}
        .ToRecord();
}

} // namespace

class WindowRunTest : public QObject {
    Q_OBJECT
private slots:
    void getMailForwardsAndShowsTheSummary();
};

void WindowRunTest::getMailForwardsAndShowsTheSummary() {
    Dovecot box;
    SmtpSink sink;
    box.addMessage("From: a@example.com\nSubject: one\n\nfirst\n");
    box.addMessage("From: a@example.com\nSubject: two\n\nsecond\n");

    TestHome home;
    home.Store("SMTPHost", QString::fromStdString(sink.server()));
    home.Store("dftFwd", "forward@example.org");
    // The second account's password is wrong: it is retried, then skipped.
    home.Store("Account", QStringList{Account("ann@example.com", Dovecot::kPassword, box.popPort()),
                                      Account("bob@example.com", "wrong", box.popPort())});
    QTemporaryDir programs;
    for (const char* name : {"Tarnwell Menu", "Tarnwell Agent"})
        QVERIFY(QFile::copy(QStringLiteral(TARNWELL_BIN_DIR "/") + QLatin1String(name),
                            programs.filePath(QLatin1String(name))));
    MenusEnded menus(programs.path());

    Surroundings around(programs.path());
    around.menuRunning = [folder = programs.path()] { return !MenusIn(folder).isEmpty(); };
    RecordingAlerts alerts;
    TarnwellPreferencesPref window(home.SettingsPath().toStdString(), &alerts, around.pane);
    window.show();
    window.mainViewDidLoad();
    StatusTab* tab = window.statusTab();
    QCOMPARE(window.prefTab()->currentWidget(), tab);
    QVERIFY(QTest::qWaitFor([&] { return tab->appStatus()->text() == QLatin1String("Stopped"); }, kStartWait));

    QTest::mouseClick(tab->getMail(), Qt::LeftButton);
    // The second account's failed logins keep the run going for seconds.
    bool stopOffered = false;
    const bool ended = QTest::qWaitFor(
        [&] {
            stopOffered = stopOffered || tab->getMail()->text() == QLatin1String("Stop");
            return tab->statSummary()->toPlainText().startsWith(QLatin1String("Run completed: "));
        },
        kRunWait);
    QVERIFY2(ended, qPrintable(tab->statSummary()->toPlainText() + "\n" + ReadBytes(home.Path() + "/Library/Logs/Tarnwell.log")));

    QCOMPARE(sink.count(), 2u);
    QVERIFY(stopOffered);
    QCOMPARE(tab->getMail()->text(), QStringLiteral("Get Mail"));
    QCOMPARE(tab->currAccount()->text(), QStringLiteral("None"));
    const QStringList summary = tab->statSummary()->toPlainText().split('\n');
    QCOMPARE(summary.mid(1), (QStringList{"   2 accounts processed", "   1 account skipped with errors"}));
    const QTextBlock skipped = tab->statSummary()->document()->findBlockByNumber(2);
    QCOMPARE(skipped.begin().fragment().charFormat().foreground().color(), StatusReader::DarkRed());
    QVERIFY(!tab->statSummary()->document()->findBlockByNumber(1).begin().fragment().charFormat().hasProperty(
        QTextFormat::ForegroundBrush));
    QCOMPARE(alerts.shown.size(), 0);
}

QTEST_MAIN(WindowRunTest)
#include "window_run_test.moc"
