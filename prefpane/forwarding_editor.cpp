#include "forwarding_editor.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

uTextView::uTextView(int multiLineHeight, QWidget* parent)
    : QPlainTextEdit(parent), multiLineHeight_(multiLineHeight) {
    setFixedHeight(kOneLineHeight);
    setMultiLine(false);
    connect(this, &QPlainTextEdit::textChanged, this, &uTextView::textChange);
}

void uTextView::setMultiLine(bool multiLine) {
    multiLine_ = multiLine;
    // One line scrolls sideways like a text field; the box wraps and scrolls down.
    setLineWrapMode(multiLine ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(multiLine ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A one-line editor is too low for the document margin of a box.
    document()->setDocumentMargin(multiLine ? 4 : 2);
    ensureCursorVisible();
}

QString uTextView::storedText() const {
    QString text = toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QChar::ParagraphSeparator, QLatin1Char(' '));
    text.replace(QChar::LineSeparator, QLatin1Char(' '));
    return text;
}

void uTextView::textChange() {
    const bool comma = toPlainText().contains(QLatin1Char(','));
    if (!comma && height() > kOneLineHeight) {
        setFixedHeight(kOneLineHeight);
        setMultiLine(false);
        emit modeChanged(false);
    } else if (comma && height() < multiLineHeight_) {
        setFixedHeight(multiLineHeight_);
        setMultiLine(true);
        emit modeChanged(true);
    }
}

void uTextView::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab) {
        if (!multiLine_) {
            QTextCursor cursor = textCursor();
            cursor.setPosition(cursor.selectionStart());
            setTextCursor(cursor);
        }
        // The text edit's own override refuses to move on while its text is editable.
        QWidget::focusNextPrevChild(key == Qt::Key_Tab && !event->modifiers().testFlag(Qt::ShiftModifier));
        return;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !multiLine_) {
        emit editingFinished();
        // The window's default button (the account form's "OK") takes the key.
        for (QPushButton* button : window()->findChildren<QPushButton*>())
            if (button->isDefault() && button->isEnabled()) {
                button->click();
                break;
            }
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void uTextView::focusInEvent(QFocusEvent* event) {
    QPlainTextEdit::focusInEvent(event);
    // Tabbed into, a one-line editor selects its text as a field does; a click does not.
    if (!multiLine_ && event->reason() != Qt::MouseFocusReason)
        selectAll();
}

void uTextView::focusOutEvent(QFocusEvent* event) {
    QPlainTextEdit::focusOutEvent(event);
    // A popup (the context menu) takes the focus only for a moment.
    if (event->reason() != Qt::PopupFocusReason)
        emit editingFinished();
}

std::optional<std::pair<qsizetype, qsizetype>> ErrorLineRange(const QString& text, const QString& word) {
    const qsizetype found = text.indexOf(word, 0, Qt::CaseInsensitive);
    if (found < 0 || word.isEmpty())
        return std::nullopt;
    const qsizetype before = text.lastIndexOf(QLatin1Char('\n'), found);
    const qsizetype after = text.indexOf(QLatin1Char('\n'), found);
    return std::make_pair(before < 0 ? 0 : before, after < 0 ? text.size() - 1 : after);
}

void highlightErrorLine(QTextDocument& text, const QString& word, const QColor& color) {
    const std::optional<std::pair<qsizetype, qsizetype>> range = ErrorLineRange(text.toPlainText(), word);
    if (!range)
        return;
    QTextCursor cursor(&text);
    cursor.setPosition(static_cast<int>(range->first));
    cursor.setPosition(static_cast<int>(range->second + 1), QTextCursor::KeepAnchor);
    QTextCharFormat format;
    format.setForeground(color);
    cursor.mergeCharFormat(format);
}
