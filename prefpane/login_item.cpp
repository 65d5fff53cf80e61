#include "login_item.h"

#include "prefs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString loginItemPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/com.vexlo.Tarnwell.Menu.desktop");
}

std::optional<QString> execArgument(const QString& program) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t'))
            return std::nullopt;
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    // Field codes are expanded first, so a literal "%" is written twice; the entry's
    // string escapes are undone before anything else, so they are applied last.
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    return quoted;
}

QString writeLoginItem(const QString& program) {
    const std::optional<QString> argument = execArgument(program);
    if (!argument)
        return QStringLiteral("Its path holds a line break or another control character, which a session's start-up entry "
                              "cannot hold: %1")
            .arg(program);
    QFile resource(QStringLiteral(":/prefpane/loginItem.desktop"));
    if (!resource.open(QIODevice::ReadOnly))
        return QStringLiteral("The template of the start-up entry is missing from Tarnwell Preferences.");
    QString entry = QString::fromUtf8(resource.readAll());
    entry.replace(QStringLiteral("<app_path>"), *argument, Qt::CaseInsensitive);

    const QString path = loginItemPath();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("The folder %1 cannot be created.").arg(folder);
    const QByteArray data = entry.toUtf8();
    const std::string failure = prefs::ReplaceFile(QFile::encodeName(path).toStdString(),
                                                   std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
    if (!failure.empty())
        return QStringLiteral("The file %1 cannot be written (%2).").arg(path, QString::fromStdString(failure));
    return {};
}
