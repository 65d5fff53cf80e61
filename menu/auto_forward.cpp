#include "auto_forward.h"

#include "tstr.h"

#include <QLocale>

#include <algorithm>
#include <limits>

namespace autofwd {

int IntValue(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = std::min<long long>(value * 10 + (text[i].unicode() - u'0'), std::numeric_limits<int>::max());
    return static_cast<int>(negative ? -value : value);
}

bool StrBool(const std::optional<QString>& value) {
    if (!value)
        return false;
    const QByteArray text = value->toUtf8();
    return ::StrBool(std::string_view(text.constData(), static_cast<std::size_t>(text.size()))) != 0;
}

int IntervalMinutes(const std::optional<QString>& autoTime) {
    if (!autoTime)
        return kDefaultMinutes;
    return std::clamp(IntValue(*autoTime), kMinMinutes, kMaxMinutes);
}

double NextDelay(double now, double lastCheck, int minutes) {
    return std::max(0.0, minutes * 60.0 - (now - lastCheck));
}

QString NextCheckStatus(const QString& previousMsg, const QDateTime& nextCheck) {
    return QStringLiteral("%1 (Next check: %2)")
        .arg(previousMsg.section(QLatin1Char(' '), 0, 0),
             QLocale().toString(nextCheck.time(), QLocale::ShortFormat));
}

} // namespace autofwd
