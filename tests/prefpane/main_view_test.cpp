// The window's main view: the default forwarding editor, and accounts added, edited and
// reordered through the window as the real agent reads them (its trace log with -d).
#include "prefpane_test_support.h"
#include "tarnwell_preferences_pref.h"
#include "window_test_support.h"

#include <QCheckBox>
#include <QMimeData>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port nothing listens on (one the system just gave out and took back): the agent's
// connections are refused at once.
int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

QString SettingsIn(const QTemporaryDir& home) {
    return home.filePath("Library/Preferences/com.vexlo.Tarnwell.plist");
}

} // namespace

class MainViewTest : public QObject {
    Q_OBJECT
private slots:
    void defaultForwardingEditor();
    void agentReadsWhatTheWindowSaved();
};

// Filled at set-up in the mode its comma gives; stored at the end of editing with line
// breaks as blanks; what the agent could not read is refused, and the setting stays.
void MainViewTest::defaultForwardingEditor() {
    QTemporaryDir home;
    RecordingAlerts alerts;
    Surroundings around;
    TarnwellPreferencesPref window(SettingsIn(home).toStdString(), &alerts, around.pane);
    window.prefs().setPrefVal("dftFwd", "a@example.org, b@example.org", true);
    window.mainViewDidLoad();
    uTextView& editor = window.dftFwdEditor();
    QCOMPARE(editor.toPlainText(), QStringLiteral("a@example.org, b@example.org"));
    QVERIFY(editor.multiLine());
    QCOMPARE(editor.height(), 58);

    editor.setPlainText("c@example.org,\nd@example.org");
    emit editor.editingFinished();
    PrefAccess reread(SettingsIn(home).toStdString(), alerts);
    reread.synchronize();
    QCOMPARE(reread.getPrefVal("dftFwd", 0, {}), QStringLiteral("c@example.org, d@example.org"));

    editor.setPlainText("ü@example.org");
    emit editor.editingFinished();
    QCOMPARE(alerts.Messages(), QStringList{"The Default Forwarding Address contains characters Tarnwell cannot use."});
    reread.synchronize();
    QCOMPARE(reread.getPrefVal("dftFwd", 0, {}), QStringLiteral("c@example.org, d@example.org"));
}

// Three accounts added in the form (one of them disabled), one edited, one dragged to the
// top: the agent's trace shows every record as the window stored it (the credentials
// masked), and it works through the enabled accounts in the window's order.
void MainViewTest::agentReadsWhatTheWindowSaved() {
    QTemporaryDir home;
    RecordingAlerts alerts;
    Surroundings around;
    TarnwellPreferencesPref window(SettingsIn(home).toStdString(), &alerts, around.pane);
    window.mainViewDidLoad();
    const QString server = QStringLiteral("127.0.0.1:%1").arg(ClosedPort());
    window.prefs().setPrefVal("SMTPHost", server, true);
    AccountsTab& tab = window.accountsTab();
    AcctForm& form = tab.form();
    const auto add = [&](const QString& addr, const QString& type, const QString& fwd, bool enabled) {
        tab.acctAdd();
        FillForm(form, {addr, "Secret-pw1", type, server, "", fwd});
        form.findChild<QCheckBox*>("acctEnable")->setChecked(enabled);
        form.acctOk();
    };
    add("pop@example.com", "POP", "a@example.org,\nb@example.org", true);
    add("me@gmail.com", "Gmail", "", false);
    add("imap@example.com", "IMAP", "", true);
    tab.findChild<QTableView*>("acctList")->selectRow(0);
    tab.acctChange();
    form.findChild<QLineEdit*>("acctUser")->setText("popuser");
    form.acctOk();
    AccountsModel& model = tab.model();
    const std::unique_ptr<QMimeData> drag(model.mimeData({model.index(2, 0)}));
    QVERIFY(model.dropMimeData(drag.get(), Qt::CopyAction, 0, 0, {}));
    QCOMPARE(alerts.Messages(), QStringList());

    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    agent.setProcessEnvironment(env);
    agent.start(QStringLiteral(TARNWELL_BIN_DIR "/Tarnwell Agent"), {"-d"});
    QVERIFY(agent.waitForFinished(60000));
    QCOMPARE(agent.exitCode(), 0);
    const QString trace = QString::fromUtf8(ReadBytes(home.filePath("Library/Logs/Tarnwell Trace.log")));

    const auto b64 = [](const QString& text) { return QString::fromLatin1(text.toLatin1().toBase64()); };
    const QStringList expected = {
        // address:password, server, forwarding, -, login, leave, TLS, enabled, type
        b64("imap@example.com:Secret-pw1") + '\t' + server + "\t(default)\t\t" + b64("imap") + "\t0\t0\t1\tIMAP\t",
        b64("pop@example.com:Secret-pw1") + '\t' + server + "\ta@example.org, b@example.org\t\t" + b64("popuser") +
            "\t0\t0\t1\tPOP\t",
        b64("me@gmail.com:Secret-pw1") + "\tpop.gmail.com\t(default)\t\t" + b64("me") + "\t0\t0\t0\tGmail\t"};
    PrefAccess stored(SettingsIn(home).toStdString(), alerts);
    stored.synchronize();
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(stored.getPrefVal("Account", i, {}), expected[i]);
        const QString traced = QStringLiteral("Account%1: ********").arg(i) + expected[i].mid(expected[i].indexOf('\t'));
        QVERIFY2(trace.contains(traced), qPrintable(traced));
    }
    QVERIFY(trace.contains("Account3: \n") || trace.contains("Account3: \r"));
    QVERIFY(trace.indexOf("Processing account 0: imap@example.com") <
            trace.indexOf("Processing account 1: pop@example.com"));
    QVERIFY(trace.contains("Processing account 0: imap@example.com"));
    QVERIFY(!trace.contains("me@gmail.com"));
    QVERIFY(!trace.contains("Secret-pw1"));
}

QTEST_MAIN(MainViewTest)
#include "main_view_test.moc"
