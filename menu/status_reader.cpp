#include "status_reader.h"

#include <QDateTime>
#include <QLocale>

namespace {

// The agent writes its dates as "Sun Sep 16 01:03:52 1973" (day padded with a blank)
// after the first ": " of the summary text. An unreadable date is shown as written.
QString RunTime(const QString& text, bool withDate) {
    const qsizetype colon = text.indexOf(QStringLiteral(": "));
    const QString written = colon < 0 ? QString() : text.mid(colon + 2);
    const QDateTime when =
        QLocale::c().toDateTime(written.simplified(), QStringLiteral("ddd MMM d hh:mm:ss yyyy"));
    if (!when.isValid())
        return written;
    const QLocale locale;
    const QString time = locale.toString(when.time(), QLocale::ShortFormat);
    if (!withDate)
        return time;
    return locale.toString(when.date(), QStringLiteral("d MMM yyyy")) + QLatin1Char(' ') + time;
}

} // namespace

StatusReader::StatusReader(QObject* parent) : QObject(parent) {}

void StatusReader::Feed(const QByteArray& chunk) {
    for (const QByteArray& line : lines_.Feed(chunk))
        Interpret(line);
}

void StatusReader::Finish() {
    for (const QByteArray& line : lines_.Finish())
        Interpret(line);
}

void StatusReader::SetStatus(const QString& account, const QString& message) {
    SetStatusQuietly(account, message);
    emit statusChanged();
}

void StatusReader::SetStatusQuietly(const QString& account, const QString& message) {
    statAcct_ = account;
    statMsg_ = message;
}

QString StatusReader::StatusTitle() const {
    return AccountActive() ? QStringLiteral("Forwarding mail for %1").arg(statAcct_) : statMsg_;
}

bool StatusReader::AccountActive() const {
    return statAcct_.compare(QLatin1String("None"), Qt::CaseInsensitive) != 0;
}

void StatusReader::Interpret(const QByteArray& line) {
    const QStringList fields = QString::fromLatin1(line).split(QLatin1Char('\t'));
    const QString& keyword = fields.first();
    if (keyword.compare(QLatin1String("updateStatus"), Qt::CaseInsensitive) == 0 && fields.size() >= 3) {
        SetStatus(fields[1], fields[2]);
    } else if (keyword.compare(QLatin1String("updateSummary"), Qt::CaseInsensitive) == 0 &&
               fields.size() >= 2) {
        AddSummary(fields[1]);
    }
}

void StatusReader::AddSummary(const QString& text) {
    if (text.contains(QLatin1String("run started"))) {
        statSummary_ = QStringLiteral("Run started: %1").arg(RunTime(text, false));
        emit summaryPosted();
    } else if (text.contains(QLatin1String("run completed"))) {
        statSummary_ = QStringLiteral("Run completed: %1").arg(RunTime(text, true));
    } else if (text.contains(QLatin1String("-----"))) {
        emit summaryPosted();
    } else {
        statSummary_ += QLatin1Char('\n') + text;
        if (statSummary_.contains(QLatin1String("retry"), Qt::CaseInsensitive))
            menuColor_ = Orange();
        if (statSummary_.contains(QLatin1String("skipped"), Qt::CaseInsensitive) ||
            statSummary_.contains(QLatin1String("Critical"), Qt::CaseInsensitive))
            menuColor_ = DarkRed();
    }
}
