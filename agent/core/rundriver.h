// The run driver: one forwarding run over the configured accounts, its counters and
// its summary.
#pragma once

#include "mailindex.h"
#include "tstr.h"
#include "webmail.h"

using MailIndexHandle = Owned<mailIndex>;

// The run record, reset at the start of every run.
struct MtGlobals {
    int runDone = 0;
    int retryAccount = 0;
    int acctNumber = -1;
    int indexChanged = 0;
    int listingNoted = 0; // the current account's listing was reported on; a retry stays quiet
    int criticalError = 0;
    int acctsProcessed = 0;
    int acctsRetried = 0; // maintained by ShowAlert
    int acctsSkipped = 0; // maintained by ShowAlert, and for accounts that cannot run
    MailIndexHandle mailIndex; // the current account's index
    Owned<webMail> session;     // the current account's session
};

extern MtGlobals mt_globals;

int MainThread_Run();
// End-of-run status ("Done" unless stopped) and the summary lines; clears runActive.
void ResetStart();

// The error rule for a failed protocol operation: a stop ends the run quietly;
// otherwise the failure is recorded with ShowAlert and the account is marked for a
// retry when the alert says so. Returns -1.
int ErrorRule(std::string_view headline, std::string_view explanation);
struct SmtpClient;
int SmtpError(SmtpClient& smtp);
