#include "rundriver.h"

#include <cstdio>

#include "accounts.h"
#include "globals.h"
#include "http.h"
#include "imap.h"
#include "log.h"
#include "pop.h"
#include "relay.h"
#include "smtp.h"

MtGlobals mt_globals;

namespace {

const char* plural(int count) { return count == 1 ? "" : "s"; }

// "   %i account%s <what>", the count line of the summary.
void summaryCount(int count, const char* what) {
    char line[128];
    std::snprintf(line, sizeof line, "   %i account%s %s", count, plural(count), what);
    updateSummary(line);
}

struct Clients {
    Owned<HttpClient> http = http_construct();
    Owned<PopClient> pop = pop_construct();
    Owned<ImapClient> imap = imap_construct();
    Owned<SmtpClient> smtp = smtp_construct();
};

// Chooses the next account to process (the same one again after "Retry account");
// false when the list has ended. An account that cannot run is passed over with its
// reason in the log and counted as skipped, so the accounts after it still run.
bool chooseAccount() {
    while (true) {
        if (mt_globals.retryAccount) {
            mt_globals.acctsProcessed -= 1;
        } else {
            mt_globals.acctNumber += 1;
            globals.acctErrorCount = 0;
            mt_globals.listingNoted = 0;
        }
        mt_globals.retryAccount = 0;
        if (mt_globals.acctNumber > kMaxAccounts - 1) return false;
        const AccountRow& row = globals.accounts[static_cast<size_t>(mt_globals.acctNumber)];
        if (row.addr.empty() && row.problem.empty()) return false;
        if (!StrBool(View(row.enable))) continue;
        if (row.problem.empty()) return true;
        const Str named = row.addr.empty() ? Str() : NewStr(" (", View(row.addr), ")");
        stdLog("Account %i%s is skipped: %s.", mt_globals.acctNumber + 1, named.c_str(), row.problem.c_str());
        mt_globals.acctsSkipped += 1;
    }
}

// Opens SMTP when there is something to send, forwards, closes SMTP; false when a step
// failed (already reported), so the account module is not closed.
bool forwardNew(webMail& session, SmtpClient& smtp, const Str& addr) {
    if (session.newCount <= 0) return true;
    debugLog("Calling OpenSMTP");
    updateStatus(View(addr), "Connecting to SMTP server");
    if (OpenSMTP(smtp) < 0) return false;
    debugLog("Calling ProcessMsg");
    if (session.ProcessMsg(session) < 0) return false;
    debugLog("Calling CloseSMTP");
    if (smtp_close(smtp) < 0 && globals.runActive == 1)
        logMsg(View(NewStr("Account: ", View(addr), "\r\nMessage: ", View(smtp.socket.errorText), "\r\n",
                           View(smtp.socket.errorDetail), "\r\nAction: Continue")));
    return true;
}

void DoNextAccount(Clients& c) {
    DebugTag tag("MainThread.DoNextAccount");
    if (CkStopReq() || !chooseAccount()) {
        mt_globals.runDone = 1;
        return;
    }
    AccountRow& row = globals.accounts[static_cast<size_t>(mt_globals.acctNumber)];
    globals.current = &row;
    const Str addr = row.addr;
    debugLog("--------------------\r\nProcessing account %i: %s\r\n--------------------", mt_globals.acctNumber,
             addr.c_str());
    mt_globals.acctsProcessed += 1;
    updateStatus(View(addr), "Initializing");
    stdLog("Forwarding mail for %s", addr.c_str());

    mt_globals.indexChanged = 0;
    mt_globals.mailIndex = mailIndex_construct();
    GetAcctIndex(*mt_globals.mailIndex, View(globals.indexPath), View(addr));

    mt_globals.session = webMail_construct();
    webMail& session = *mt_globals.session;
    session.httpSocket = c.http.get();
    session.popSocket = c.pop.get();
    session.imapSocket = c.imap.get();
    session.smtpSocket = c.smtp.get();
    FindModule(View(row.type)).init(session);

    debugLog("Calling OpenAccount");
    if (session.OpenAccount(session) == 0) {
        stdLog("   %i new message%s found", session.newCount, plural(session.newCount));
        if (forwardNew(session, *c.smtp, addr)) {
            debugLog("Calling CloseAccount");
            session.CloseAccount(session);
        }
    }
    if (session.newCount > 0) stdLog("   %i message%s forwarded", session.fwdCount, plural(session.fwdCount));

    mt_globals.session.reset();
    if (mt_globals.indexChanged == 1) PutAcctIndex(*mt_globals.mailIndex);
    mt_globals.mailIndex.reset();
    bSocket_closeSocket(c.pop->socket);
    bSocket_closeSocket(c.imap->socket);
    bSocket_closeSocket(c.smtp->socket);
    globals.current = nullptr;
}

} // namespace

int ErrorRule(std::string_view headline, std::string_view explanation) {
    if (globals.stopRequested == 1) {
        mt_globals.runDone = 1;
        return -1;
    }
    if (ShowAlert("Caution", headline, explanation) == 3) mt_globals.retryAccount = 1;
    return -1;
}

int SmtpError(SmtpClient& smtp) { return ErrorRule(View(smtp.socket.errorText), View(smtp.socket.errorDetail)); }

void ResetStart() {
    if (globals.stopRequested == 0) updateStatus("None", "Done");
    updateSummary(View(NewStr("Tarnwell run completed: ", getDateTimeStr())));
    if (mt_globals.criticalError == 1) updateSummary("   Critical error occurred");
    summaryCount(mt_globals.acctsProcessed, "processed");
    if (mt_globals.acctsRetried > 0 && debugReq == 1) summaryCount(mt_globals.acctsRetried, "completed with retry");
    if (mt_globals.acctsSkipped > 0) summaryCount(mt_globals.acctsSkipped, "skipped with errors");
    updateSummary("----------");
    globals.runActive = 0;
}

int MainThread_Run() {
    DebugTag tag("MainThread.Run");
    mt_globals = MtGlobals();
    updateSummary(View(NewStr("Tarnwell run started: ", getDateTimeStr())));

    globals.acctErrorCount = -1;
    globals.current = nullptr;
    Str host = globals.smtpHost;
    if (Trim(host).empty()) {
        ShowAlert("Stop", "SMTP Host not defined.",
                  "In order to send mail, an SMTP Host needs to be specified in the Preferences.");
        mt_globals.criticalError = 1;
        ResetStart();
        return 0;
    }
    {
        Clients clients;
        mt_globals.acctNumber = -1;
        while (mt_globals.runDone != 1) DoNextAccount(clients);
        ResetStart();
    }
    debugLog("Thread ended\r\n--------------------");
    return 0;
}
