// The editor of a forwarding entry: one address or several separated by commas. It acts
// as a one-line field while the text holds no comma and becomes a small multi-line box as
// soon as it does. The frame of the text edit draws the focus ring.
#pragma once

#include <QColor>
#include <QPlainTextEdit>
#include <QString>
#include <QTextDocument>

#include <optional>
#include <utility>

class uTextView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kOneLineHeight = 22;
    // Multi-line heights: the account form's editor and the default editor.
    static constexpr int kAccountHeight = 56;
    static constexpr int kDefaultHeight = 58;

    uTextView(int multiLineHeight, QWidget* parent = nullptr);

    bool multiLine() const { return multiLine_; }
    void setMultiLine(bool multiLine);
    // The text as it is stored: line breaks typed in the multi-line box become blanks, so
    // they never reach a recipient list that is split at blanks and commas.
    QString storedText() const;

signals:
    // The mode changed with the text; the editor is now multi-line or one line high.
    void modeChanged(bool multiLine);
    // Editing ended: the focus left, or Return in one-line mode.
    void editingFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // One line while there is no comma, multi-line while there is one.
    void textChange();

    int multiLineHeight_;
    bool multiLine_ = false;
};

// Where the first line holding word (any case) runs: from the line feed before it (or the
// start) to the line feed after it (or the last character), both included.
std::optional<std::pair<qsizetype, qsizetype>> ErrorLineRange(const QString& text, const QString& word);
// Colours that range of the document.
void highlightErrorLine(QTextDocument& text, const QString& word, const QColor& color);
