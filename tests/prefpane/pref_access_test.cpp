// The window's settings access: values of each kind, problems of the store shown with
// its own explanation, and twenty records written by tarnwell-settings that the window
// reads and saves back (synchronised at once) unchanged.
#include "acct_entry.h"
#include "pref_access.h"
#include "prefpane_test_support.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

class PrefAccessTest : public QObject {
    Q_OBJECT
private slots:
    void getPrefVal_data();
    void getPrefVal();
    void synchronisationProblemsAreShown_data();
    void synchronisationProblemsAreShown();
    void toolRecordsLoadAndSaveUnchanged();
};

void PrefAccessTest::getPrefVal_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("value");
    QTest::newRow("string") << "SMTPHost" << 0 << "smtp.example.com";
    QTest::newRow("string, whatever the index") << "SMTPHost" << 7 << "smtp.example.com";
    QTest::newRow("list element") << "Account" << 1 << "one";
    QTest::newRow("index equal to the count") << "Account" << 2 << "default";
    QTest::newRow("negative index") << "Account" << -1 << "default";
    QTest::newRow("no value") << "dftFwd" << 0 << "default";
    QTest::newRow("value of another kind") << "autoTime" << 0 << "default";
}

void PrefAccessTest::getPrefVal() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.plist"));
    WriteBytes(path, "<plist><dict><key>SMTPHost</key><string>smtp.example.com</string>"
                     "<key>Account</key><array><string>zero</string><string>one</string></array>"
                     "<key>autoTime</key><integer>15</integer></dict></plist>");
    RecordingAlerts alerts;
    PrefAccess prefs(path.toStdString(), alerts);
    QVERIFY(prefs.synchronize());
    QFETCH(QString, key);
    QFETCH(int, index);
    QTEST(prefs.getPrefVal(key, index, QStringLiteral("default")), "value");
}

void PrefAccessTest::synchronisationProblemsAreShown_data() {
    QTest::addColumn<QString>("file");       // the settings file, below the temporary folder
    QTest::addColumn<QByteArray>("content"); // written to "blocker" or to the file first
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("because");
    QTest::newRow("folder cannot be made") << "blocker/p.plist" << QByteArray("a file, not a folder") << false
                                           << "The settings could not be saved." << "cannot be created: Not a directory";
    QTest::newRow("damaged file") << "p.plist" << QByteArray("not a property list") << true
                                  << "The settings file was damaged." << "it is not a property list";
}

// A change that cannot be written must not be lost unseen.
void PrefAccessTest::synchronisationProblemsAreShown() {
    QTemporaryDir dir;
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, because);
    const QString path = dir.filePath(file);
    WriteBytes(file.contains(QLatin1Char('/')) ? dir.filePath(QStringLiteral("blocker")) : path, content);
    RecordingAlerts alerts;
    PrefAccess prefs(path.toStdString(), alerts);
    prefs.setPrefVal(QStringLiteral("SMTPHost"), QStringLiteral("smtp.example.com"), false);
    QTEST(prefs.synchronize(), "saved");
    QCOMPARE(alerts.shown.size(), 1);
    QTEST(alerts.shown.first().message, "message");
    QVERIFY2(alerts.shown.first().informative.contains(because),
             qPrintable(alerts.shown.first().informative));
    QCOMPARE(alerts.shown.first().buttons, QStringList{"OK"});
}

// Twenty accounts of every kind as tarnwell-settings stores them: the window reads each
// record and writes the list back, and the file is the same to the byte.
void PrefAccessTest::toolRecordsLoadAndSaveUnchanged() {
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    for (int i = 1; i <= 20; ++i) {
        const QString n = QString::number(i);
        const QStringList kinds[] = {{"--address", "u" + n + "@gmail.com"},
                                     {"--address", "u" + n + "@example.com", "--server", "pop.example.com:995", "--secure", "1"},
                                     {"--address", "u" + n + "@example.org", "--type", "IMAP", "--server", "imap.example.org"},
                                     {"--address", "u" + n + "@yahoo.co.uk"}};
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral(TARNWELL_BIN_DIR "/tarnwell-settings"),
                   QStringList{"account", "add", "--password", "pw" + n, "--login", "login " + n, "--leave",
                               QString::number(i % 2), "--enable", i % 5 ? "1" : "0", "--forward",
                               i % 3 ? "f" + n + "@example.net" : "(default)"} + kinds[i % 4]);
        QVERIFY(tool.waitForFinished(10000));
        QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    }
    const QString path = home.filePath(QStringLiteral("Library/Preferences/com.vexlo.Tarnwell.plist"));
    const QByteArray written = ReadBytes(path);

    RecordingAlerts alerts;
    PrefAccess prefs(path.toStdString(), alerts);
    QVERIFY(prefs.synchronize());
    QStringList stored, saved;
    for (int i = 0; i < 20; ++i) {
        stored << prefs.getPrefVal(QStringLiteral("Account"), i, QString());
        saved << AcctEntry::FromRecord(stored.last()).ToRecord();
    }
    QCOMPARE(prefs.getPrefVal(QStringLiteral("Account"), 20, QStringLiteral("none")), QStringLiteral("none"));
    QCOMPARE(saved, stored);
    prefs.setPrefVal(QStringLiteral("Account"), saved, true);
    QCOMPARE(ReadBytes(path), written);
    QCOMPARE(alerts.Messages(), QStringList());
}

QTEST_MAIN(PrefAccessTest)
#include "pref_access_test.moc"
