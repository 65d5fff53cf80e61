// Whether the session's menu runs, and starting it when it does not: the process table
// is read from /proc, the menu is started beside the window's own program and made to
// start with the desktop session (the login item).
#pragma once

#include "alerts.h"

#include <QString>

#include <sys/types.h>

inline constexpr char kMenuProgram[] = "Tarnwell Menu";

// The first process of the user uid (its effective user id) that is not a zombie and
// whose command name equals name without regard to case, compared on the 15 characters
// the kernel keeps of it; -1 when there is none or procRoot cannot be read.
pid_t getProcessPid(uid_t uid, const QString& name, const QString& procRoot = QStringLiteral("/proc"));

// Whether a menu runs for the current user.
bool MenuRunning();

// Starts programFolder's "Tarnwell Menu" on its own (it outlives the window) and writes
// its login item. The session's bus name lets only one menu stay, so a menu started at
// the same moment by the session or another window does no harm. Problems are shown as
// alerts; true when the menu was started.
bool LaunchMenu(const QString& programFolder, AlertPresenter& alerts);
