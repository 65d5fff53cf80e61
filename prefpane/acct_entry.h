// One account as the window shows and edits it: the record's nine fields as text, the
// flags "1" or "0". Records are read and written through the codec the agent uses.
#pragma once

#include <QString>

// The agent reads at most this many accounts.
constexpr int kMaxAccounts = 20;

struct AcctEntry {
    QString acctAddr, acctPass, acctType, acctPop, acctSecure, acctUser, acctFwd, acctLeave, acctEnable;

    // A stored record as the window reads it: the credentials split at the first ":"
    // (a password keeps any further ":"); an empty login name becomes the address up to
    // its first "@"; when the address is not empty, an empty enabled flag becomes "1" and
    // an empty type the one the agent derives from the server.
    static AcctEntry FromRecord(const QString& record);
    // The record as stored.
    QString ToRecord() const;
};
