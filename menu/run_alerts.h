// After a run that skipped an account or ended with a critical error, one desktop
// notification names what went wrong. The agent writes each alert to its log; the menu
// reads the part of the log the run wrote and picks the alerts that ended an account or
// the run.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

struct RunAlert {
    QString account; // empty when the run as a whole failed
    QString headline;
    bool operator==(const RunAlert&) const = default;
};

// The agent's log, ~/Library/Logs/Tarnwell.log.
QString AgentLogPath();

// The alerts in a stretch of the log that skipped an account or stopped the run; retried
// attempts and notes are left out.
QList<RunAlert> RunAlerts(const QByteArray& log);

// The text of the notification: one line per alert, "account: headline".
QString AlertsText(const QList<RunAlert>& alerts);

// What the log gained since Mark(): at most the last kMaxTail bytes of it, so a run
// that logged without end costs no more memory than that.
class LogTail {
public:
    static constexpr qint64 kMaxTail = 1 << 20;
    explicit LogTail(QString path) : path_(std::move(path)) {}
    void Mark();
    QByteArray Read() const;

private:
    QString path_;
    qint64 start_ = 0;
};

// Raises a desktop notification (org.freedesktop.Notifications on the session bus)
// without waiting for it; the watcher of the answer belongs to owner. Without a
// notification service the call fails; that is said on standard error.
void NotifyDesktop(QObject* owner, const QString& summary, const QString& body);
