// The alert helper: the buttons its options name, and the window-modal message box that
// stands in for a sheet, answered by the position of the button chosen.
#include "alerts.h"
#include "prefpane_test_support.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

class AlertsTest : public QObject {
    Q_OBJECT
private slots:
    void showAlert_data();
    void showAlert();
    void sheetIsWindowModal();
};

void AlertsTest::showAlert_data() {
    QTest::addColumn<QString>("options");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("-1") << "-1" << QStringList{"OK"};
    QTest::newRow("empty") << "" << QStringList{"OK"};
    QTest::newRow("stand-ins") << "Save, -1 ,-1" << QStringList{"Save", "Cancel", "Don't Save"};
    QTest::newRow("trimmed") << "  Yes ,No " << QStringList{"Yes", "No"};
    QTest::newRow("an empty one left out") << "-1,,Quit" << QStringList{"OK", "Quit"};
    QTest::newRow("three at most") << "A,B,C,D" << QStringList{"A", "B", "C"};
}

void AlertsTest::showAlert() {
    RecordingAlerts alerts;
    alerts.answers = {3};
    QFETCH(QString, options);
    QCOMPARE(ShowAlert(alerts, QStringLiteral("Stop"), options, QStringLiteral("Headline."), QStringLiteral("Why.")), 3);
    QCOMPARE(alerts.shown.size(), 1);
    const Alert& shown = alerts.shown.first();
    QCOMPARE(shown.kind, QStringLiteral("Stop"));
    QCOMPARE(shown.message, QStringLiteral("Headline."));
    QCOMPARE(shown.informative, QStringLiteral("Why."));
    QTEST(shown.buttons, "buttons");
}

void AlertsTest::sheetIsWindowModal() {
    QWidget window;
    window.show();
    SheetAlerts sheets(&window);
    bool seen = false;
    QString text, informative;
    Qt::WindowModality modality = Qt::NonModal;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
            if (!box->isVisible())
                continue;
            poll.stop();
            seen = true;
            text = box->text();
            informative = box->informativeText();
            modality = box->windowModality();
            icon = box->icon();
            for (QAbstractButton* button : box->buttons())
                if (button->text() == QLatin1String("Second"))
                    button->click();
        }
    });
    poll.start(10);
    QCOMPARE(sheets.Present({"Caution", "Headline.", "Explanation.", {"First", "Second", "Third"}}), 2);
    QVERIFY(seen);
    QCOMPARE(text, QStringLiteral("Headline."));
    QCOMPARE(informative, QStringLiteral("Explanation."));
    QCOMPARE(modality, Qt::WindowModal);
    QCOMPARE(icon, QMessageBox::Warning);
}

QTEST_MAIN(AlertsTest)
#include "alerts_test.moc"
