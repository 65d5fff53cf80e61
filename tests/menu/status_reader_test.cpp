// The agent's output read into status, summary and colour, however the pipe splits it.
#include "line_reader.h"
#include "status_reader.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTest>

namespace {

// What the menu announces while reading: "status acct|msg" and "summary text", in order.
struct Recorder {
    explicit Recorder(StatusReader& reader) {
        QObject::connect(&reader, &StatusReader::statusChanged, [this, &reader] {
            events << QStringLiteral("status %1|%2").arg(reader.statAcct(), reader.statMsg());
        });
        QObject::connect(&reader, &StatusReader::summaryPosted,
                         [this, &reader] { events << QStringLiteral("summary ") + reader.statSummary(); });
    }
    QStringList events;
};

QString ShortTime(int h, int m, int s) {
    return QLocale().toString(QTime(h, m, s), QLocale::ShortFormat);
}

const QByteArray kRun = "updateStatus\tNone\tStarting up\n"
                        "updateSummary\tTarnwell run started: Sun Sep 16 01:03:52 1973\n"
                        "noise without a keyword\n"
                        "\n"
                        "updateStatus\tme@example.com\tForwarding message 1 of 2\n"
                        "UPDATESTATUS\tNONE\tDone\textra field\n"
                        "updateSummary\tTarnwell run completed: Sun Sep  2 01:04:10 1973\n"
                        "updateSummary\t   1 account processed\n"
                        "updateSummary\t   1 account skipped with errors\n"
                        "updateSummary\t----------\n";

} // namespace

class StatusReaderTest : public QObject {
    Q_OBJECT
private slots:
    void linesSurviveEverySplit();
    void longLinesAreCapped();
    void rules_data();
    void rules();
    void colours_data();
    void colours();
    void lastLineWithoutLineFeed();
};

// The whole run cut in two at every byte, and fed one byte at a time, gives the same
// announcements as in one piece.
void StatusReaderTest::linesSurviveEverySplit() {
    StatusReader whole;
    Recorder expected(whole);
    whole.Feed(kRun);
    const QString completed = QStringLiteral("Run completed: %1 %2")
                                  .arg(QLocale().toString(QDate(1973, 9, 2), QStringLiteral("d MMM yyyy")),
                                       ShortTime(1, 4, 10));
    QCOMPARE(expected.events,
             QStringList({QStringLiteral("status None|Starting up"),
                          QStringLiteral("summary Run started: ") + ShortTime(1, 3, 52),
                          QStringLiteral("status me@example.com|Forwarding message 1 of 2"),
                          QStringLiteral("status NONE|Done"),
                          QStringLiteral("summary ") + completed +
                              QStringLiteral("\n   1 account processed\n   1 account skipped with errors")}));
    QCOMPARE(whole.StatusTitle(), QStringLiteral("Done"));

    for (qsizetype cut = 0; cut <= kRun.size(); ++cut) {
        StatusReader reader;
        Recorder got(reader);
        reader.Feed(kRun.first(cut));
        reader.Feed(kRun.sliced(cut));
        reader.Finish();
        QVERIFY2(got.events == expected.events, qPrintable(QStringLiteral("cut at %1").arg(cut)));
    }
    StatusReader bytewise;
    Recorder got(bytewise);
    for (char c : kRun)
        bytewise.Feed(QByteArray(1, c));
    QCOMPARE(got.events, expected.events);
}

void StatusReaderTest::longLinesAreCapped() {
    LineReader lines;
    const QByteArray huge(LineReader::kMaxLine + 1, 'x');
    QVERIFY(lines.Feed(huge).isEmpty());
    QVERIFY(lines.Feed(huge + "still the same line").isEmpty());
    // The overlong line is dropped up to its line feed; the next one is whole.
    QCOMPARE(lines.Feed("tail\nnext\npart"), QList<QByteArray>{"next"});
    QCOMPARE(lines.Finish(), QList<QByteArray>{"part"});
    QVERIFY(lines.Finish().isEmpty());
    // A line of exactly the cap is kept.
    const QByteArray atCap(LineReader::kMaxLine, 'y');
    QCOMPARE(lines.Feed(atCap + "\n"), QList<QByteArray>{atCap});
}

void StatusReaderTest::rules_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("idle message shown") << QByteArray("updateStatus\tNone\tDone\n") << "Done"
                                        << QStringList{"status None|Done"};
    QTest::newRow("None in capitals") << QByteArray("updateStatus\tNONE\tDone\n") << "Done"
                                      << QStringList{"status NONE|Done"};
    QTest::newRow("account shown instead of message")
        << QByteArray("updateStatus\ta@b.c\tGetting mail list\n") << "Forwarding mail for a@b.c"
        << QStringList{"status a@b.c|Getting mail list"};
    QTest::newRow("keyword in any case") << QByteArray("UpDaTeStAtUs\tNone\tIdle\n") << "Idle"
                                         << QStringList{"status None|Idle"};
    QTest::newRow("status with two fields ignored") << QByteArray("updateStatus\tNone\n") << "Starting up"
                                                    << QStringList{};
    QTest::newRow("summary with one field ignored") << QByteArray("updateSummary\n") << "Starting up"
                                                    << QStringList{};
    QTest::newRow("keyword must be the first field") << QByteArray("x\tupdateStatus\tNone\tDone\n")
                                                     << "Starting up" << QStringList{};
    QTest::newRow("last of two lines wins")
        << QByteArray("updateStatus\ta@b.c\tInitializing\nupdateStatus\tNone\tDone\n") << "Done"
        << QStringList{"status a@b.c|Initializing", "status None|Done"};
    QTest::newRow("dashes post the accumulated summary")
        << QByteArray("updateSummary\tline one\nupdateSummary\t----------\n") << "Starting up"
        << QStringList{"summary --\nline one"};
    QTest::newRow("unreadable start date kept as written")
        << QByteArray("updateSummary\tTarnwell run started: soon\n") << "Starting up"
        << QStringList{"summary Run started: soon"};
    QTest::newRow("run completed posts nothing by itself")
        << QByteArray("updateSummary\tTarnwell run completed: Sun Sep 16 01:04:10 1973\n") << "Starting up"
        << QStringList{};
    QTest::newRow("percent and markers in texts kept")
        << QByteArray("updateStatus\t%1%s\t%2 done\n") << "Forwarding mail for %1%s"
        << QStringList{"status %1%s|%2 done"};
}

void StatusReaderTest::rules() {
    QFETCH(QByteArray, input);
    StatusReader reader;
    Recorder got(reader);
    reader.Feed(input);
    QTEST(reader.StatusTitle(), "title");
    QTEST(got.events, "events");
}

void StatusReaderTest::colours_data() {
    QTest::addColumn<QByteArrayList>("summaryLines");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("clean run") << QByteArrayList{"   2 accounts processed"} << QColor(Qt::black);
    QTest::newRow("retry") << QByteArrayList{"   1 account completed with retry"} << StatusReader::Orange();
    QTest::newRow("retry in capitals") << QByteArrayList{"RETRY"} << StatusReader::Orange();
    QTest::newRow("skipped") << QByteArrayList{"   1 account skipped with errors"} << StatusReader::DarkRed();
    QTest::newRow("critical") << QByteArrayList{"   Critical error occurred"} << StatusReader::DarkRed();
    QTest::newRow("dark red wins over a later retry")
        << QByteArrayList{"   1 account skipped with errors", "   1 account completed with retry"}
        << StatusReader::DarkRed();
    QTest::newRow("only summary lines count") << QByteArrayList{} << QColor(Qt::black);
}

void StatusReaderTest::colours() {
    QFETCH(QByteArrayList, summaryLines);
    StatusReader reader;
    // A status line mentioning "retry" or "skipped" does not colour anything.
    reader.Feed("updateStatus\tskipped\tretry\n");
    for (const QByteArray& line : summaryLines)
        reader.Feed("updateSummary\t" + line + "\n");
    QTEST(reader.menuColor(), "colour");
    reader.ResetColor();
    QCOMPARE(reader.menuColor(), QColor(Qt::black));
}

void StatusReaderTest::lastLineWithoutLineFeed() {
    StatusReader reader;
    reader.Feed("updateStatus\tNone\tDo");
    QCOMPARE(reader.statMsg(), QStringLiteral("Starting up"));
    reader.Feed("ne");
    reader.Finish();
    QCOMPARE(reader.statMsg(), QStringLiteral("Done"));
    // The next run starts clean.
    reader.Finish();
    reader.Feed("updateStatus\ta\tb\n");
    QCOMPARE(reader.statAcct(), QStringLiteral("a"));
}

QTEST_GUILESS_MAIN(StatusReaderTest)
#include "status_reader_test.moc"
