// The agent's start-up: signals, options, log and trace files, settings, then the run.
// Returns the exit status, always 0.
#pragma once

#include "globals.h"
#include "prefs.h"

inline constexpr const char* kAppId = "com.vexlo.Tarnwell";
inline constexpr const char* kVersion = "5.0.3";
inline constexpr size_t kMaxPrefValue = 511; // longest preference value the agent accepts

int agentMain(int argc, char** argv);

// Creates globals.tlsContext: TLS client, server certificates verified against the
// system trust store (SSL_CERT_FILE and SSL_CERT_DIR apply). False (logged) on failure.
// Called at the first secure connection, not at start-up: a run whose servers are all
// plain never needs it.
bool initTls();

// Reads every setting and the account table from the domain into globals; of accounts
// that share an address, all but the first that would run get a problem.
void readSettings(prefs::Domain& domain);
// index of a key that holds one value, not a list
inline constexpr int kOneValue = -1;
// A preference value: the string of a single-value key (index kOneValue), or element
// index of an array key, where a plain string stands for element 0 alone; a copy of
// dflt when absent, empty, of the other kind, not ASCII or longer than 511 characters.
// A value that is present but unusable is named in the log, so the user learns why
// the default was taken.
Str getPrefsVal(const prefs::Domain& domain, std::string_view name, int index, std::string_view dflt);
// Decodes one "Account" element into a row, applying the agent's defaults. A record
// whose stored address is empty (no element, an empty field 1, or one that decodes to
// an empty address) yields a row without address and problem, the end of the list; any
// other record the agent cannot use gets its reason in the row's problem.
AccountRow parseAccountRecord(std::string_view record);
// Releases every setting and the account table.
void releaseSettings();
