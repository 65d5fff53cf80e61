#include "migration.h"

#include "acct_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString settingsFolder(const PrefAccess& prefs) {
    return QFileInfo(QString::fromStdString(prefs.Path())).absolutePath();
}

// The whole file, or nullopt with the reason when it cannot be read.
std::optional<QByteArray> readWhole(const QString& path, QString& problem) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return std::nullopt;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        problem = file.errorString();
        return std::nullopt;
    }
    return data;
}

void cannotRead(AlertPresenter& alerts, const QString& headline, const QString& path, const QString& problem,
                const QString& consequence) {
    ShowAlert(alerts, QStringLiteral("Caution"), QStringLiteral("-1"), headline,
              QStringLiteral("The file \"%1\" cannot be read (%2). %3").arg(path, problem, consequence));
}

} // namespace

std::optional<QString> getPrevPrefFile(const QString& path, QString& problem) {
    QString text;
    if (QFileInfo::exists(path)) {
        const std::optional<QByteArray> data = readWhole(path, problem);
        if (!data)
            return std::nullopt;
        text = QString::fromUtf8(*data);
    }
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\r')))
        text += QLatin1Char('\r');
    return text;
}

QString getPrevPrefVal(const QString& text, const QString& section, const QString& item, const QString& defaultVal) {
    const QString header = QLatin1Char('[') + section + QLatin1Char(']');
    const qsizetype headerAt = text.indexOf(header, 0, Qt::CaseInsensitive);
    if (headerAt < 0)
        return defaultVal;
    const qsizetype bodyStart = headerAt + header.size();
    qsizetype bodyEnd = text.indexOf(QLatin1Char('['), bodyStart);
    if (bodyEnd < 0)
        bodyEnd = text.size();
    // The header's own line end comes first, so the first item is found as well.
    const QString line = QLatin1Char('\r') + item + QLatin1Char('=');
    const qsizetype itemAt = text.indexOf(line, bodyStart, Qt::CaseInsensitive);
    if (itemAt < 0 || itemAt + line.size() > bodyEnd)
        return defaultVal;
    const qsizetype valueStart = itemAt + line.size();
    return text.mid(valueStart, text.indexOf(QLatin1Char('\r'), valueStart) - valueStart);
}

void convertPrefs(PrefAccess& prefs, AlertPresenter& alerts) {
    const QString oldPath = settingsFolder(prefs) + QStringLiteral("/Tarnwell Preferences");
    if (QFileInfo::exists(QString::fromStdString(prefs.Path())) || !QFileInfo::exists(oldPath))
        return;
    QString problem;
    const std::optional<QString> text = getPrevPrefFile(oldPath, problem);
    if (!text) {
        cannotRead(alerts, QStringLiteral("The settings of the previous version cannot be converted."), oldPath, problem,
                   QStringLiteral("Nothing was converted: make the file readable and open Tarnwell Preferences again "
                                  "before changing any setting."));
        return;
    }

    const std::pair<const char*, const char*> plain[] = {
        {"autoFwd", "0"}, {"autoTime", "15"}, {"SMTPHost", ""}, {"SMTPSecure", "0"},
        {"SMTPAuth", "0"}, {"SMTPVfy", "0"},  {"dftFwd", ""}};
    const QString twell = QStringLiteral("Twell");
    for (const auto& [key, fallback] : plain)
        prefs.setPrefVal(QLatin1String(key), getPrevPrefVal(*text, twell, QLatin1String(key), QLatin1String(fallback)),
                         false);
    // Encoded again with this window's encoder.
    for (const char* key : {"SMTPLogin", "SMTPFrom"}) {
        const QString decoded = decodeBase64(getPrevPrefVal(*text, twell, QLatin1String(key), QString()));
        prefs.setPrefVal(QLatin1String(key), decoded.isEmpty() ? QString() : encodeBase64(decoded), false);
    }

    QStringList accounts;
    for (int n = 1; n <= kMaxAccounts; ++n) {
        const AcctEntry entry = AcctEntry::FromRecord(
            getPrevPrefVal(*text, QStringLiteral("Email"), QStringLiteral("Account%1").arg(n), QString()));
        if (!entry.acctAddr.isEmpty())
            accounts << entry.ToRecord();
    }
    prefs.setPrefVal(QStringLiteral("Account"), accounts, true);
}

void convertIndex(const PrefAccess& prefs, AlertPresenter& alerts) {
    const QString folder = settingsFolder(prefs);
    const QString oldPath = folder + QStringLiteral("/Tarnwell Index");
    const QString newPath = folder + QStringLiteral("/com.vexlo.Tarnwell.index");
    if (QFileInfo::exists(newPath) || !QFileInfo::exists(oldPath))
        return;
    QString problem;
    std::optional<QByteArray> data = readWhole(oldPath, problem);
    if (!data) {
        cannotRead(alerts, QStringLiteral("The mail index of the previous version cannot be converted."), oldPath, problem,
                   QStringLiteral("Until it is, messages left on the servers may be forwarded again."));
        return;
    }
    data->replace('\r', '\n');
    const std::string failure =
        prefs::ReplaceFile(QFile::encodeName(newPath).toStdString(), std::string_view(data->constData(), data->size()));
    if (!failure.empty())
        ShowAlert(alerts, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("The mail index of the previous version cannot be converted."),
                  QStringLiteral("The file \"%1\" cannot be written (%2).").arg(newPath, QString::fromStdString(failure)));
}
