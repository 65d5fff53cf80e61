// The login item: an XDG autostart entry that starts the menu with the desktop session,
// written from the "loginItem" template, whose "<app_path>" stands for the program.
#pragma once

#include <QString>

#include <optional>

// "$XDG_CONFIG_HOME/autostart/com.vexlo.Tarnwell.Menu.desktop"; "~/.config" stands in
// for an XDG_CONFIG_HOME that is unset, empty or not absolute.
QString loginItemPath();
// program as the one argument of an entry's Exec key: quoted, its quotes, backticks,
// dollar signs and backslashes escaped, "%" doubled, then the entry's own escapes for
// backslashes and tabs. Nullopt for a path holding a line break or another control
// character, which no entry can hold.
std::optional<QString> execArgument(const QString& program);
// Writes the entry for program, replacing the previous one atomically. Empty on
// success, else what went wrong, in a sentence for the user.
QString writeLoginItem(const QString& program);
