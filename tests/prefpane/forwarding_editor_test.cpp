// The forwarding editor in a window of its own: its two modes and heights, the form
// around it growing and shrinking, the keys, the focus selection, and the coloured line
// of a summary.
#include "forwarding_editor.h"

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTest>
#include <QVBoxLayout>

class ForwardingEditorTest : public QObject {
    Q_OBJECT
private slots:
    void modesFollowTheComma_data();
    void modesFollowTheComma();
    void keys();
    void focusSelectsOnlyFromTheKeyboard();
    void lineBreaksAreStoredAsBlanks();
    void errorLineRange_data();
    void errorLineRange();
    void highlightColoursOneLine();
};

void ForwardingEditorTest::modesFollowTheComma_data() {
    QTest::addColumn<int>("multiHeight");
    QTest::newRow("account editor") << int(uTextView::kAccountHeight);
    QTest::newRow("default editor") << int(uTextView::kDefaultHeight);
}

// A comma makes the box, the last comma gone makes the line; repeated changes in a mode
// change nothing.
void ForwardingEditorTest::modesFollowTheComma() {
    QFETCH(int, multiHeight);
    uTextView editor(multiHeight);
    QSignalSpy modes(&editor, &uTextView::modeChanged);
    QCOMPARE(editor.height(), 22);
    QVERIFY(!editor.multiLine());
    editor.setPlainText("ann@example.com");
    editor.setPlainText("ann@example.com, bob@example.com");
    QCOMPARE(editor.height(), multiHeight);
    QVERIFY(editor.multiLine());
    editor.setPlainText("ann@example.com, bob@example.com, carl@example.com");
    editor.setPlainText("ann@example.com");
    QCOMPARE(editor.height(), 22);
    QVERIFY(!editor.multiLine());
    QCOMPARE(modes.size(), 2);
    QCOMPARE(modes[0][0].toBool(), true);
    QCOMPARE(modes[1][0].toBool(), false);
}

// Tab and Backtab move on without inserting anything; Return in one line ends the editing
// and presses the default button; in the box it is a line break.
void ForwardingEditorTest::keys() {
    QDialog form;
    auto* layout = new QVBoxLayout(&form);
    auto* before = new QLineEdit;
    auto* editor = new uTextView(uTextView::kAccountHeight);
    auto* after = new QLineEdit;
    auto* ok = new QPushButton("OK");
    ok->setDefault(true);
    for (QWidget* widget : {static_cast<QWidget*>(before), static_cast<QWidget*>(editor), static_cast<QWidget*>(after),
                            static_cast<QWidget*>(ok)})
        layout->addWidget(widget);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QSignalSpy pressed(ok, &QPushButton::clicked);
    QSignalSpy finished(editor, &uTextView::editingFinished);

    editor->setFocus(Qt::TabFocusReason);
    editor->setPlainText("ann@example.com");
    QTest::keyClick(editor, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), after);
    editor->setFocus(Qt::TabFocusReason);
    QTest::keyClick(editor, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), before);
    QCOMPARE(editor->toPlainText(), QString("ann@example.com"));

    editor->setFocus(Qt::TabFocusReason);
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(pressed.size(), 1);
    QVERIFY(finished.size() >= 1);
    QCOMPARE(editor->toPlainText(), QString("ann@example.com"));

    editor->setPlainText("ann@example.com,");
    editor->moveCursor(QTextCursor::End);
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(pressed.size(), 1);
    QCOMPARE(editor->toPlainText(), QString("ann@example.com,\n"));
    QCOMPARE(editor->storedText(), QString("ann@example.com, "));
}

void ForwardingEditorTest::focusSelectsOnlyFromTheKeyboard() {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* other = new QLineEdit;
    auto* editor = new uTextView(uTextView::kDefaultHeight);
    layout->addWidget(other);
    layout->addWidget(editor);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    editor->setPlainText("ann@example.com");
    other->setFocus();
    editor->setFocus(Qt::TabFocusReason);
    QCOMPARE(editor->textCursor().selectedText(), QString("ann@example.com"));
    other->setFocus();
    QTextCursor cursor = editor->textCursor();
    cursor.clearSelection();
    editor->setTextCursor(cursor);
    editor->setFocus(Qt::MouseFocusReason);
    QVERIFY(editor->textCursor().selectedText().isEmpty());
}

void ForwardingEditorTest::lineBreaksAreStoredAsBlanks() {
    uTextView editor(uTextView::kAccountHeight);
    editor.setPlainText("ann@example.com,\nbob@example.com,\n\ncarl@example.com");
    QCOMPARE(editor.storedText(), QString("ann@example.com, bob@example.com,  carl@example.com"));
}

void ForwardingEditorTest::errorLineRange_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("word");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    // The second and third lines hold the word: the second is coloured, with the line feed
    // before it and the one after it.
    QTest::newRow("second of three") << "Run completed\n 1 ERROR here\n 2 error there\n" << "error" << 13 << 27;
    QTest::newRow("first line") << "error at start\nnext" << "error" << 0 << 14;
    QTest::newRow("last line without a line feed") << "ok\nretry later" << "retry" << 2 << 13;
    QTest::newRow("absent") << "all fine\n" << "error" << -1 << -1;
}

void ForwardingEditorTest::errorLineRange() {
    QFETCH(QString, text);
    QFETCH(QString, word);
    QFETCH(int, start);
    QFETCH(int, end);
    const auto range = ErrorLineRange(text, word);
    QCOMPARE(range.has_value(), start >= 0);
    if (range) {
        QCOMPARE(range->first, start);
        QCOMPARE(range->second, end);
    }
}

void ForwardingEditorTest::highlightColoursOneLine() {
    QTextDocument summary("Run completed\n 1 error\n 2 error");
    highlightErrorLine(summary, "error", Qt::red);
    QStringList coloured;
    for (QTextBlock block = summary.begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().foreground().color() == QColor(Qt::red))
                coloured << it.fragment().text();
    QCOMPARE(coloured, QStringList({" 1 error"}));
}

QTEST_MAIN(ForwardingEditorTest)
#include "forwarding_editor_test.moc"
