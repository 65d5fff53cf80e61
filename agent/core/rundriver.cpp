#include "rundriver.h"

#include <cstdio>

#include "globals.h"
#include "log.h"

MtGlobals mt_globals;

namespace {

const char* plural(int count) { return count == 1 ? "" : "s"; }

// "   %i account%s <what>", the count line of the summary.
void summaryCount(int count, const char* what) {
    char line[128];
    std::snprintf(line, sizeof line, "   %i account%s %s", count, plural(count), what);
    updateSummary(line);
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

void ResetStart() {
    if (globals.stopRequested == 0) updateStatus("None", "Done");
    updateSummary(View(NewStr("Tarnwell run completed: ", getDateTimeStr())));
    if (mt_globals.criticalError == 1) updateSummary("   Critical error occurred");
    summaryCount(mt_globals.acctsProcessed, "processed");
    if (mt_globals.acctsRetried > 0 && debugReq == 1)
        summaryCount(mt_globals.acctsRetried, "completed with retry");
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

    ResetStart();
    debugLog("Thread ended\r\n--------------------");
    return 0;
}
