// The window's access to the settings: the same store the agent and the menu read
// (platform/prefs). Each change is written at once and, with sync, synchronised at once,
// so the menu and the next agent run see it. A synchronisation that fails, or that found
// a damaged file, is shown in an alert with the store's own explanation.
#pragma once

#include "alerts.h"
#include "prefs.h"

#include <QString>
#include <QStringList>

class PrefAccess {
public:
    // path: the settings file; nothing is read before the first synchronize().
    PrefAccess(std::string path, AlertPresenter& alerts);

    const std::string& Path() const { return domain_.Path(); }

    // A string value whatever the index; element index of a list value when there is
    // one; otherwise (no value, index out of range) defaultVal.
    QString getPrefVal(const QString& key, int index, const QString& defaultVal) const;
    void setPrefVal(const QString& key, const QString& value, bool sync);
    void setPrefVal(const QString& key, const QStringList& value, bool sync);
    // Writes pending changes and re-reads the file. False when the changes could not be
    // written (they stay pending for the next try); the user has been told why.
    bool synchronize();

private:
    prefs::Domain domain_;
    AlertPresenter& alerts_;
};

// The agent reads every stored value as ASCII text of at most this many characters.
constexpr qsizetype kMaxPrefValue = 511;
// Why the agent could not read text inside a stored value as it was written: a character
// other than ASCII (it converts values to ASCII), or a tab or line break (a tab ends a
// field of an account record, a line break a protocol line). Empty when it can.
QString agentCannotRead(const QString& text);

// A setting read as a boolean: true when its integer value is not 0 ("-1" is true).
bool StrBool(const QString& value);
// Base64 of the text's UTF-8 bytes, as credentials and addresses are stored.
QString encodeBase64(const QString& text);
// The decoded bytes read as UTF-8 text.
QString decodeBase64(const QString& encoded);
