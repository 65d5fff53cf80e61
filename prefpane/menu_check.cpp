#include "menu_check.h"

#include "login_item.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <unistd.h>

#include <optional>
#include <utility>

namespace {

// Comm holds the first 15 bytes of the program's name and a NUL.
constexpr qsizetype kCommLength = 15;

QByteArray readSmall(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
}

// Effective user id and zombie state from a status file ("Uid:\treal\teffective\t...",
// "State:\tZ (zombie)"); nullopt when the file says neither.
std::optional<std::pair<uid_t, bool>> ownerAndZombie(const QByteArray& status) {
    std::optional<uid_t> euid;
    bool zombie = false;
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            bool ok = false;
            const uint id = ids.size() > 1 ? ids[1].toUInt(&ok) : 0;
            if (ok)
                euid = static_cast<uid_t>(id);
        } else if (line.startsWith("State:")) {
            zombie = line.mid(6).trimmed().startsWith('Z');
        }
    }
    if (!euid)
        return std::nullopt;
    return std::make_pair(*euid, zombie);
}

} // namespace

pid_t getProcessPid(uid_t uid, const QString& name, const QString& procRoot) {
    const QString wanted = name.left(kCommLength);
    const QDir proc(procRoot);
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString& entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric || pid <= 0)
            continue;
        const QString folder = proc.filePath(entry);
        // A process that ended meanwhile leaves nothing to read and is passed over.
        QByteArray comm = readSmall(folder + QStringLiteral("/comm"));
        if (comm.endsWith('\n'))
            comm.chop(1);
        if (QString::fromUtf8(comm).compare(wanted, Qt::CaseInsensitive) != 0)
            continue;
        const std::optional<std::pair<uid_t, bool>> owner = ownerAndZombie(readSmall(folder + QStringLiteral("/status")));
        if (owner && owner->first == uid && !owner->second)
            return static_cast<pid_t>(pid);
    }
    return -1;
}

bool MenuRunning() {
    return getProcessPid(::geteuid(), QString::fromLatin1(kMenuProgram)) >= 0;
}

bool LaunchMenu(const QString& programFolder, AlertPresenter& alerts) {
    const QString program = QDir(programFolder).filePath(QString::fromLatin1(kMenuProgram));
    if (!QProcess::startDetached(program, {})) {
        ShowAlert(alerts, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("Tarnwell Menu could not be started."),
                  QStringLiteral("It is expected at %1. Without it, mail is not forwarded and the status is not shown.")
                      .arg(program));
        return false;
    }
    const QString problem = writeLoginItem(program);
    if (!problem.isEmpty())
        ShowAlert(alerts, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("Tarnwell Menu could not be made to start with your session."), problem);
    return true;
}
