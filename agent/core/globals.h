// The agent-wide record: settings, the account table, signal flags, the TLS context
// and the status fields. One instance for the program's lifetime.
#pragma once

#include <array>
#include <csignal>
#include <memory>
#include <openssl/ssl.h>

#include "tstr.h"

constexpr int kMaxAccounts = 20;

// One element of the "Account" setting, decoded.
struct AccountRow {
    Str addr, pass, pop, fwd, user, leave, secure, enable, type;
    Str problem; // why the account cannot run (skipped and logged); empty when it can
};

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};

struct Globals {
    std::unique_ptr<SSL_CTX, SslCtxFree> tlsContext;
    volatile std::sig_atomic_t stopRequested = 0;
    volatile std::sig_atomic_t statusRequested = 0;
    int runActive = 0;
    int acctErrorCount = 0;
    Str indexPath;
    Str lastStatusAccount, lastStatusMessage;

    // Current account: points into the account table (no copies); set by the run
    // driver. Presets change its server settings for the run.
    AccountRow* current = nullptr;
    Str noneAccount = ToStr("None"); // address shown while no account is worked on

    Str smtpHost;
    int smtpSecure = 0;
    Str smtpAuth, smtpLogin;
    int smtpVfy = 0;
    Str smtpFrom, dftFwd, autoFwd, autoTime;
    Str hotmailStartUrl, hotmailLoginHost, yahooStartUrl, yahooLoginHost;

    std::array<AccountRow, kMaxAccounts> accounts;
};

extern Globals globals;

// Address of the account being worked on, or "None".
inline const Str& acctAddr() { return globals.current ? globals.current->addr : globals.noneAccount; }
