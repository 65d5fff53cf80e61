// The one-time conversion of the previous generation's settings and mail index, run
// when the window's main view is set up, before any setting is read into a control.
// Both old files live in the settings folder: "Tarnwell Preferences", a text file of
// "[section]" headers and "item=value" lines, each line ended by a carriage return, and
// "Tarnwell Index", the mail index with carriage-return line ends. Once the current file
// exists, its conversion never runs again; the old files are left in place.
#pragma once

#include "alerts.h"
#include "pref_access.h"

#include <QString>

#include <optional>

// The old settings file's text, every line (the last one included) ended by "\r"; empty
// when there is no file. Nullopt, with the reason in problem, when the file exists but
// cannot be read.
std::optional<QString> getPrevPrefFile(const QString& path, QString& problem);
// The value of item in section (both found without regard to case), or defaultVal. A
// section ends at the next "[", even one inside a value.
QString getPrevPrefVal(const QString& text, const QString& section, const QString& item, const QString& defaultVal);

// Converts the old settings into the store, unless the current settings file exists or
// there is no old file. An old file that cannot be read converts nothing and is named in
// an alert: converting it as empty would write settings without accounts and so end the
// conversion for good.
void convertPrefs(PrefAccess& prefs, AlertPresenter& alerts);
// Converts the old index into the current one (each "\r" becomes "\n", written
// atomically with mode 0600), unless the current index exists or there is no old one.
// An old index that cannot be read, or a write that fails, is named in an alert.
void convertIndex(const PrefAccess& prefs, AlertPresenter& alerts);
