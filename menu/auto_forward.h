// Arithmetic of the automatic-forwarding interval. Times are seconds since the epoch;
// the interval runs from the previous launch, not from the end of that run.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>

namespace autofwd {

// The limits the preferences window enforces; a stored value outside them (0, negative,
// text) would otherwise start runs back to back.
inline constexpr int kMinMinutes = 10;
inline constexpr int kMaxMinutes = 9999;
inline constexpr int kDefaultMinutes = 15;

// Integer value of a setting's text: leading blanks, an optional sign, the digits that
// follow; 0 when there are none.
int IntValue(QStringView text);
// A setting read as a boolean: its integer value is non-zero ("-1" counts as on).
bool StrBool(const std::optional<QString>& value);
// The "autoTime" setting in minutes: the default when absent, else clamped to the limits.
int IntervalMinutes(const std::optional<QString>& autoTime);
// Seconds until the next check: what is left of the interval since lastCheck, 0 when the
// previous run took longer than the interval (or there was none: lastCheck 0).
double NextDelay(double now, double lastCheck, int minutes);
// The status shown while waiting: the previous message up to its first blank (so an
// earlier next-check suffix goes) and the time of the next check.
QString NextCheckStatus(const QString& previousMsg, const QDateTime& nextCheck);

} // namespace autofwd
