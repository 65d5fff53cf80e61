#include "pref_access.h"

#include "auto_forward.h"

#include "base64_codec.h"

#include <vector>

PrefAccess::PrefAccess(std::string path, AlertPresenter& alerts) : domain_(std::move(path)), alerts_(alerts) {}

QString PrefAccess::getPrefVal(const QString& key, int index, const QString& defaultVal) const {
    const std::optional<prefs::Value> value = domain_.CopyAppValue(key.toStdString());
    if (!value)
        return defaultVal;
    if (const auto* text = std::get_if<std::string>(&*value))
        return QString::fromStdString(*text);
    const auto& list = std::get<std::vector<std::string>>(*value);
    if (index < 0 || static_cast<std::size_t>(index) >= list.size())
        return defaultVal;
    return QString::fromStdString(list[static_cast<std::size_t>(index)]);
}

void PrefAccess::setPrefVal(const QString& key, const QString& value, bool sync) {
    domain_.SetAppValue(key.toStdString(), prefs::Value(value.toStdString()));
    if (sync)
        synchronize();
}

void PrefAccess::setPrefVal(const QString& key, const QStringList& value, bool sync) {
    std::vector<std::string> list;
    list.reserve(static_cast<std::size_t>(value.size()));
    for (const QString& item : value)
        list.push_back(item.toStdString());
    domain_.SetAppValue(key.toStdString(), prefs::Value(std::move(list)));
    if (sync)
        synchronize();
}

bool PrefAccess::synchronize() {
    const bool saved = domain_.AppSynchronize();
    const QString problem = QString::fromStdString(domain_.LastProblem());
    if (!saved)
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), QStringLiteral("The settings could not be saved."),
                  problem);
    else if (!problem.isEmpty())
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), QStringLiteral("The settings file was damaged."),
                  problem);
    return saved;
}

QString agentCannotRead(const QString& text) {
    for (const char32_t c : text.toUcs4()) {
        if (c == U'\t' || c == U'\r' || c == U'\n')
            return QStringLiteral("It holds a tab or a line break.");
        if (c >= 0x80)
            return QStringLiteral("\"%1\" is not an ASCII character.").arg(QString::fromUcs4(&c, 1));
    }
    return {};
}

bool StrBool(const QString& value) {
    return autofwd::StrBool(value);
}

QString encodeBase64(const QString& text) {
    return QString::fromStdString(base64::Encode(text.toStdString()));
}

QString decodeBase64(const QString& encoded) {
    return QString::fromStdString(base64::Decode(encoded.toStdString()));
}
