// A temporary folder holding the fake agent as "Tarnwell Agent" (and, when asked, a copy
// of the menu beside it, so the menu finds the fake), with the fake's event log.
#pragma once

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

class AgentFolder {
public:
    explicit AgentFolder(bool withMenu = false) {
        QFile::copy(QStringLiteral(TARNWELL_SOURCE_DIR "/tests/menu/fake_agent.sh"), AgentPath());
        QFile::setPermissions(AgentPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (withMenu)
            QFile::copy(QStringLiteral(TARNWELL_BIN_DIR "/Tarnwell Menu"), MenuPath());
        qputenv("FAKE_AGENT_LOG", QFile::encodeName(LogPath()));
    }

    QString Path() const { return dir_.path(); }
    QString AgentPath() const { return dir_.filePath(QStringLiteral("Tarnwell Agent")); }
    QString MenuPath() const { return dir_.filePath(QStringLiteral("Tarnwell Menu")); }
    QString LogPath() const { return dir_.filePath(QStringLiteral("agent.log")); }

    // The fake's events: "start PID [ARGS]", "INT PID", "TERM PID", "crash PID", "exit PID".
    QStringList Log() const {
        QFile file(LogPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // Events of one kind, with the process id and arguments left off.
    QStringList Events(const QString& kind) const {
        QStringList found;
        for (const QString& line : Log())
            if (line.startsWith(kind + QLatin1Char(' ')))
                found << line;
        return found;
    }
    // The agent's process ids in the order they started and exited, e.g. "start 1",
    // "exit 1", "start 2": two agents overlapped when a start follows a start.
    QStringList StartsAndExits() const {
        QStringList order;
        for (const QString& line : Log())
            if (line.startsWith(QLatin1String("start ")) || line.startsWith(QLatin1String("exit ")))
                order << line.section(QLatin1Char(' '), 0, 0);
        return order;
    }

private:
    QTemporaryDir dir_;
};
