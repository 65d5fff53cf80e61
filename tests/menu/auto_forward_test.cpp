// The automatic-forwarding interval: counted from the previous launch, never negative,
// and never shorter than the preferences window allows.
#include "auto_forward.h"

#include <QLocale>
#include <QTest>

class AutoForwardTest : public QObject {
    Q_OBJECT
private slots:
    void interval_data();
    void interval();
    void delay_data();
    void delay();
    void nextCheckStatus();
};

void AutoForwardTest::interval_data() {
    QTest::addColumn<std::optional<QString>>("autoTime");
    QTest::addColumn<int>("minutes");
    QTest::addColumn<bool>("on");
    QTest::newRow("absent") << std::optional<QString>() << 15 << false;
    QTest::newRow("plain") << std::optional<QString>("30") << 30 << true;
    QTest::newRow("zero") << std::optional<QString>("0") << 10 << false;
    QTest::newRow("negative") << std::optional<QString>("-5") << 10 << true;
    QTest::newRow("text") << std::optional<QString>("often") << 10 << false;
    QTest::newRow("empty") << std::optional<QString>("") << 10 << false;
    QTest::newRow("leading blanks and trailing text") << std::optional<QString>("  45min") << 45 << true;
    QTest::newRow("lower limit") << std::optional<QString>("10") << 10 << true;
    QTest::newRow("upper limit") << std::optional<QString>("9999") << 9999 << true;
    QTest::newRow("above the limit") << std::optional<QString>("10000") << 9999 << true;
    QTest::newRow("beyond int") << std::optional<QString>("99999999999999999999") << 9999 << true;
    QTest::newRow("plus sign") << std::optional<QString>("+12") << 12 << true;
}

// The interval in minutes, and the same text read as a boolean setting.
void AutoForwardTest::interval() {
    QFETCH(std::optional<QString>, autoTime);
    QTEST(autofwd::IntervalMinutes(autoTime), "minutes");
    QTEST(autofwd::StrBool(autoTime), "on");
}

void AutoForwardTest::delay_data() {
    QTest::addColumn<double>("now");
    QTest::addColumn<double>("lastCheck");
    QTest::addColumn<int>("minutes");
    QTest::addColumn<double>("expected");
    // Launched at 10:00, done at 10:03: the next check is at 10:15.
    QTest::newRow("from the previous launch") << 10 * 3600.0 + 180 << 10 * 3600.0 << 15 << 720.0;
    QTest::newRow("run longer than the interval") << 10 * 3600.0 + 1000 << 10 * 3600.0 << 15 << 0.0;
    QTest::newRow("exactly the interval") << 10 * 3600.0 + 900 << 10 * 3600.0 << 15 << 0.0;
    QTest::newRow("never launched") << 800000000.0 << 0.0 << 15 << 0.0;
    QTest::newRow("clock set back") << 10 * 3600.0 << 10 * 3600.0 + 60 << 10 << 660.0;
}

void AutoForwardTest::delay() {
    QFETCH(double, now);
    QFETCH(double, lastCheck);
    QFETCH(int, minutes);
    QTEST(autofwd::NextDelay(now, lastCheck, minutes), "expected");
}

void AutoForwardTest::nextCheckStatus() {
    const QDateTime at(QDate(2026, 1, 5), QTime(10, 15));
    const QString suffix = QStringLiteral(" (Next check: %1)").arg(QLocale().toString(QTime(10, 15), QLocale::ShortFormat));
    QCOMPARE(autofwd::NextCheckStatus(QStringLiteral("Done"), at), QStringLiteral("Done") + suffix);
    QCOMPARE(autofwd::NextCheckStatus(QStringLiteral("Idle"), at), QStringLiteral("Idle") + suffix);
    // An earlier suffix is replaced, not stacked.
    QCOMPARE(autofwd::NextCheckStatus(QStringLiteral("Done") + suffix, at), QStringLiteral("Done") + suffix);
}

QTEST_GUILESS_MAIN(AutoForwardTest)
#include "auto_forward_test.moc"
