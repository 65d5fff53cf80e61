// Converting the previous generation's settings and index: exactly the keys and account
// list expected, nothing touched once converted, nothing written from a file that cannot
// be read, and the index byte for byte with line feeds and mode 0600.
#include "migration.h"
#include "prefpane_test_support.h"
#include "window_test_support.h"

#include <QDir>
#include <QMap>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

QByteArray B64(const QByteArray& text) {
    return text.toBase64();
}

// The settings convertPrefs writes: the defaults with the given values, and the accounts.
QStringList Converted(const QMap<QString, QString>& values, const QList<QByteArray>& accounts) {
    QMap<QString, QString> all = {{"autoFwd", "0"},   {"autoTime", "15"}, {"SMTPHost", ""}, {"SMTPSecure", "0"},
                                  {"SMTPAuth", "0"},  {"SMTPLogin", ""},  {"SMTPVfy", "0"}, {"SMTPFrom", ""},
                                  {"dftFwd", ""}};
    all.insert(values);
    QStringList records;
    for (const QByteArray& record : accounts)
        records << QString::fromLatin1(record);
    all.insert(QStringLiteral("Account"), QLatin1Char('(') + records.join(QLatin1Char('|')) + QLatin1Char(')'));
    QStringList lines;
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        lines << it.key() + QLatin1Char('=') + it.value();
    return lines;
}

unsigned Mode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

enum class Old { None, File, Unreadable };

} // namespace

class MigrationTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void convertPrefs_data();
    void convertPrefs();
    void onceOrNotAtAll_data();
    void onceOrNotAtAll();
    void windowConvertsAtSetUp();

private:
    // Puts the old file at name: absent, with content, or a folder (exists, cannot be read).
    void PlaceOld(const QString& name, Old kind, const QByteArray& content);
    QString Path(const QString& name) const { return dir_->filePath(name); }
    QString Settings() const { return Path(QStringLiteral("com.vexlo.Tarnwell.plist")); }

    std::unique_ptr<QTemporaryDir> dir_;
};

void MigrationTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
}

void MigrationTest::PlaceOld(const QString& name, Old kind, const QByteArray& content) {
    if (kind == Old::File)
        WriteBytes(Path(name), content);
    else if (kind == Old::Unreadable)
        QVERIFY(QDir(dir_->path()).mkdir(name));
}

void MigrationTest::convertPrefs_data() {
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<QStringList>("settings");

    QTest::newRow("every item, a dropped record, no final carriage return")
        << "[Twell]\rautoFwd=1\rautoTime=30\rSMTPHost=smtp.example.com:587\rSMTPSecure=1\rSMTPAuth=1\r"
           "SMTPLogin=bWU6cHc\rSMTPVfy=1\rSMTPFrom=" + B64("from@example.org") + "\rdftFwd=fwd@example.org\r"
           "[Email]\r"
           "Account1=" + B64("ann@example.com:pw") + "\tpop.example.com:995\tann@example.org\t\t" + B64("annie") +
           "\t1\t1\t0\tIMAP\r"
           "Account2=\tpop.example.com\t\t\t\t1\t1\t1\tPOP\r"
           "Account3=" + B64("bob@hotmail.com:p:w:d") + "\tHOTMAIL.COM\t(default)\t\t\t0\t0\t\t\r"
           "Account4=" + B64("cy@example.net:pw") + "\tmail.example.net\t\t\t\t0\t1\t0\t"
        << Converted({{"autoFwd", "1"}, {"autoTime", "30"}, {"SMTPHost", "smtp.example.com:587"}, {"SMTPSecure", "1"},
                      {"SMTPAuth", "1"}, {"SMTPLogin", "bWU6cHc="}, {"SMTPVfy", "1"},
                      {"SMTPFrom", B64("from@example.org")}, {"dftFwd", "fwd@example.org"}},
                     {B64("ann@example.com:pw") + "\tpop.example.com:995\tann@example.org\t\t" + B64("annie") +
                          "\t1\t1\t0\tIMAP\t",
                      B64("bob@hotmail.com:p:w:d") + "\tHOTMAIL.COM\t(default)\t\t" + B64("bob") + "\t0\t0\t1\tHotmail\t",
                      B64("cy@example.net:pw") + "\tmail.example.net\t\t\t" + B64("cy") + "\t0\t1\t0\tPOP\t"});
    QTest::newRow("names in lower case, the twentieth account and no further")
        << "[twell]\rsmtphost=mail.example.com\r[email]\raccount20=" + B64("dee@yahoo.com:pw") + "\tYahoo.com\r"
           "account21=" + B64("eve@example.com:pw") + "\tpop.example.com\r"
        << Converted({{"SMTPHost", "mail.example.com"}},
                     {B64("dee@yahoo.com:pw") + "\tYahoo.com\t\t\t" + B64("dee") + "\t\t\t1\tYahoo\t"});
    QTest::newRow("a bracket in a value ends the section, undecodable encodings are empty")
        << QByteArray("[Twell]\rSMTPFrom=!!!\rSMTPLogin=\rdftFwd=odd[name@example.org\rSMTPHost=lost.example.com\r")
        << Converted({{"dftFwd", "odd[name@example.org"}}, {});
    QTest::newRow("an empty file") << QByteArray() << Converted({}, {});
}

void MigrationTest::convertPrefs() {
    QFETCH(QByteArray, old);
    PlaceOld(QStringLiteral("Tarnwell Preferences"), Old::File, old);
    RecordingAlerts alerts;
    PrefAccess prefs(Settings().toStdString(), alerts);
    ::convertPrefs(prefs, alerts);
    QTEST(Dump(Settings()), "settings");
    QCOMPARE(alerts.Messages(), QStringList());
    QCOMPARE(Mode(Settings()), 0600u);
}

void MigrationTest::onceOrNotAtAll_data() {
    QTest::addColumn<bool>("index");        // the index conversion, else the settings one
    QTest::addColumn<Old>("old");
    QTest::addColumn<QByteArray>("current"); // the current file before; empty: none
    QTest::addColumn<QByteArray>("after");   // the current file after; empty: none
    QTest::addColumn<QStringList>("alerts");
    const QByteArray plist = "<plist><dict><key>SMTPHost</key><string>kept</string></dict></plist>";
    const QStringList prefsAlert{"The settings of the previous version cannot be converted."};
    const QStringList indexAlert{"The mail index of the previous version cannot be converted."};
    QTest::newRow("settings: current file exists") << false << Old::File << plist << plist << QStringList();
    QTest::newRow("settings: no old file") << false << Old::None << QByteArray() << QByteArray() << QStringList();
    QTest::newRow("settings: old file cannot be read") << false << Old::Unreadable << QByteArray() << QByteArray() << prefsAlert;
    QTest::newRow("index: carriage returns become line feeds")
        << true << Old::File << QByteArray() << "[" + B64("ann@example.com") + "]\n<1@x>\tF\n2\tD\n" << QStringList();
    QTest::newRow("index: current index exists") << true << Old::File << QByteArray("kept\n") << QByteArray("kept\n") << QStringList();
    QTest::newRow("index: no old index") << true << Old::None << QByteArray() << QByteArray() << QStringList();
    QTest::newRow("index: old index cannot be read") << true << Old::Unreadable << QByteArray() << QByteArray() << indexAlert;
}

// Once converted, never again. A file that cannot be read converts to nothing: as empty
// settings without accounts it would end the conversion for good.
void MigrationTest::onceOrNotAtAll() {
    QFETCH(bool, index);
    QFETCH(Old, old);
    QFETCH(QByteArray, current);
    QFETCH(QByteArray, after);
    const QString oldName = index ? QStringLiteral("Tarnwell Index") : QStringLiteral("Tarnwell Preferences");
    const QString currentPath = index ? Path(QStringLiteral("com.vexlo.Tarnwell.index")) : Settings();
    PlaceOld(oldName, old, index ? "[" + B64("ann@example.com") + "]\r<1@x>\tF\r2\tD\r" : "[Twell]\rSMTPHost=x\r");
    if (!current.isEmpty())
        WriteBytes(currentPath, current);
    RecordingAlerts alerts;
    PrefAccess prefs(Settings().toStdString(), alerts);
    index ? ::convertIndex(prefs, alerts) : ::convertPrefs(prefs, alerts);
    QCOMPARE(QFileInfo::exists(currentPath), !after.isEmpty());
    QCOMPARE(ReadBytes(currentPath), after);
    if (!after.isEmpty() && current.isEmpty())
        QCOMPARE(Mode(currentPath), 0600u);
    QTEST(alerts.Messages(), "alerts");
    if (!alerts.shown.isEmpty())
        QVERIFY(alerts.shown.first().informative.contains(Path(oldName)));
}

void MigrationTest::windowConvertsAtSetUp() {
    PlaceOld(QStringLiteral("Tarnwell Preferences"), Old::File, "[Twell]\rSMTPHost=old.example.com");
    PlaceOld(QStringLiteral("Tarnwell Index"), Old::File, "x\ry\r");
    RecordingAlerts alerts;
    Surroundings around;
    TarnwellPreferencesPref window(Settings().toStdString(), &alerts, around.pane);
    window.mainViewDidLoad();
    QCOMPARE(window.prefs().getPrefVal(QStringLiteral("SMTPHost"), 0, QString()), QStringLiteral("old.example.com"));
    QCOMPARE(ReadBytes(Path(QStringLiteral("com.vexlo.Tarnwell.index"))), QByteArray("x\ny\n"));
    QCOMPARE(alerts.Messages(), QStringList());
}

QTEST_MAIN(MigrationTest)
#include "migration_test.moc"
