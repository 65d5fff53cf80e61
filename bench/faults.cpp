// Fault campaigns at a large size: a POP3 mailbox whose forwarded mail is deleted and an
// IMAP mailbox whose mail is left, each forwarded again and again through relays that
// cut at random byte offsets, stall or refuse SMTP commands, and with the agent killed
// at random moments, until drained or fully forwarded, round after round, until the
// asked number of interruptions struck. Prints the lost and duplicated counts; exits
// with status 1 when a rule broke (the rules are in tests/support/net/fault_campaign.h).
//
// Usage: faults [interruptions (default 1000)] [messages per round (default 20)] [-v]
// TARNWELL_FAULT_SEED replays a campaign.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "aiosmtpd.h"
#include "dovecot.h"
#include "fault_campaign.h"

int main(int argc, char** argv) {
    int faults = 1000, messages = 20;
    bool verbose = false;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-v") {
            verbose = true;
        } else if (positional++ == 0) {
            faults = std::atoi(argv[i]);
        } else {
            messages = std::atoi(argv[i]);
        }
    }
    if (faults <= 0 || messages <= 0) {
        std::fprintf(stderr, "usage: faults [interruptions] [messages per round] [-v]\n");
        return 2;
    }
    uint64_t seed = faultSeed(static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    std::printf("seed %llu (%s replays it), %d interruptions, %d messages per round\n",
                static_cast<unsigned long long>(seed), kFaultSeedVariable, faults, messages);
    std::fflush(stdout);

    Dovecot box;
    SmtpSink sink;
    int failed = 0;
    long lost = 0, duplicated = 0, interruptions = 0;
    struct Mode {
        const char* name;
        const char* type;
        bool leave;
        int faults;
    };
    for (const Mode& m : {Mode{"POP3, mail deleted", "POP", false, (faults + 1) / 2},
                          Mode{"IMAP, mail left", "IMAP", true, faults / 2}}) {
        CampaignOptions o;
        o.agent = TARNWELL_BIN_DIR "/Tarnwell Agent";
        o.type = m.type;
        o.leave = m.leave;
        o.messages = messages;
        o.faults = m.faults;
        o.seed = seed;
        if (verbose) o.trace = &std::cout;
        auto start = std::chrono::steady_clock::now();
        CampaignResult r = runCampaign(o, box, sink);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s: %d rounds, %d runs, %d messages, %.1f s\n", m.name, r.rounds, r.runs, r.messages, seconds);
        std::printf("  interruptions %d: %d cuts, %d stalls, %d refused SMTP commands, %d kills\n", r.interruptions,
                    r.cuts, r.stalls, r.replies, r.kills);
        std::printf("  lost %d, duplicated %d\n", r.lost, r.duplicates);
        for (const std::string& v : r.violations) std::printf("  BROKEN: %s\n", v.c_str());
        std::fflush(stdout);
        lost += r.lost;
        duplicated += r.duplicates;
        interruptions += r.interruptions;
        if (!r.violations.empty()) failed = 1;
    }
    std::printf("total: %ld interruptions, lost %ld, duplicated %ld%s\n", interruptions, lost, duplicated,
                failed ? ", RULES BROKEN" : "");
    return failed;
}
