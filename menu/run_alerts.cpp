#include "run_alerts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFile>
#include <QVariantMap>

#include <optional>

namespace {

// The action the agent took after an alert: these two end the account or the run.
bool Ending(const QByteArray& action) {
    return action == "Skip to next account" || action == "Cancel";
}

// The value of a "Key: value" log line (indent and CR left off); nothing for other lines.
std::optional<QByteArray> Field(const QByteArray& line, const QByteArray& key) {
    const QByteArray text = line.trimmed();
    if (!text.startsWith(key + ':'))
        return std::nullopt;
    return text.mid(key.size() + 1).trimmed();
}

} // namespace

QString AgentLogPath() {
    return QDir::homePath() + QStringLiteral("/Library/Logs/Tarnwell.log");
}

QList<RunAlert> RunAlerts(const QByteArray& log) {
    QList<RunAlert> alerts;
    std::optional<RunAlert> current;
    for (const QByteArray& line : log.split('\n')) {
        if (const auto account = Field(line, "Account")) {
            current = RunAlert{QString::fromUtf8(*account), QString()};
        } else if (!current) {
            continue;
        } else if (const auto headline = Field(line, "Message"); headline && current->headline.isEmpty()) {
            current->headline = QString::fromUtf8(*headline);
        } else if (const auto action = Field(line, "Action")) {
            if (Ending(*action))
                alerts << *current;
            current.reset();
        }
    }
    return alerts;
}

QString AlertsText(const QList<RunAlert>& alerts) {
    QStringList lines;
    for (const RunAlert& alert : alerts)
        lines << (alert.account.isEmpty() ? alert.headline : alert.account + QStringLiteral(": ") + alert.headline);
    return lines.join(QLatin1Char('\n'));
}

void LogTail::Mark() {
    QFile file(path_);
    start_ = file.exists() ? file.size() : 0;
}

QByteArray LogTail::Read() const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A log shortened since the mark (trimmed to its size limit) is read from where its
    // newest part could start.
    const qint64 size = file.size();
    const qint64 from = size < start_ ? 0 : start_;
    file.seek(std::max(from, size - kMaxTail));
    return file.read(kMaxTail);
}

void NotifyDesktop(QObject* owner, const QString& summary, const QString& body) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Tarnwell") << 0u << QStringLiteral("com.vexlo.Tarnwell") << summary << body
         << QStringList() << QVariantMap{{QStringLiteral("urgency"), QVariant::fromValue<uchar>(2)}} << -1;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner, [](QDBusPendingCallWatcher* answer) {
        if (answer->isError())
            qWarning("Tarnwell Menu: no desktop notification could be shown: %s",
                     qPrintable(answer->error().message()));
        answer->deleteLater();
    });
}
