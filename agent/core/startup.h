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

// Reads every setting and the account table from the domain into globals.
void readSettings(prefs::Domain& domain);
// A preference value: the string of key (element index of an array value) when it
// is a non-empty ASCII string of at most 511 characters, otherwise a copy of dflt.
// A value that is present but unusable is named in the log, so the user learns why
// the default was taken.
Str getPrefsVal(const prefs::Domain& domain, std::string_view name, int index, std::string_view dflt);
// Decodes one "Account" element into a row, applying the agent's defaults.
AccountRow parseAccountRecord(std::string_view record);
// Releases every setting and the account table.
void releaseSettings();
