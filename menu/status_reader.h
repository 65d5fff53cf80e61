// The agent's status and summary lines, read into the status the menu shows and
// announces: the account and message of the last status line, the summary of the
// current or last run, and the colour the idle icon takes after a run with problems.
#pragma once

#include "line_reader.h"

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QString>

class StatusReader : public QObject {
    Q_OBJECT
public:
    explicit StatusReader(QObject* parent = nullptr);

    // A chunk of the agent's standard output, split anywhere.
    void Feed(const QByteArray& chunk);
    // The agent has ended: its last line counts even without a line feed.
    void Finish();

    // The menu's own statuses ("Stopped", the next-check time, ...), announced as the
    // agent's are; Quietly only replaces the texts ("Idle" at start-up, which the first
    // next-check or stopped status follows at once).
    void SetStatus(const QString& account, const QString& message);
    void SetStatusQuietly(const QString& account, const QString& message);
    // A new run starts with the normal colour.
    void ResetColor() { menuColor_ = Qt::black; }

    const QString& statAcct() const { return statAcct_; }
    const QString& statMsg() const { return statMsg_; }
    const QString& statSummary() const { return statSummary_; }
    const QColor& menuColor() const { return menuColor_; }
    // The status line's text: the account being worked on, else the message itself.
    QString StatusTitle() const;
    // True while the last status names an account, i.e. a run is under way.
    bool AccountActive() const;

    static QColor Orange() { return QColor::fromRgbF(0.9f, 0.6f, 0.0f); }
    static QColor DarkRed() { return QColor::fromRgbF(0.7f, 0.0f, 0.0f); }

signals:
    // statAcct/statMsg changed by an agent's line or SetStatus.
    void statusChanged();
    // statSummary is to be announced.
    void summaryPosted();

private:
    void Interpret(const QByteArray& line);
    void AddSummary(const QString& text);

    LineReader lines_;
    QString statAcct_ = QStringLiteral("None");
    QString statMsg_ = QStringLiteral("Starting up");
    QString statSummary_ = QStringLiteral("--");
    QColor menuColor_ = Qt::black;
};
