// Fault campaigns against the built agent: a mailbox is forwarded over and over through
// relays that cut, stall or refuse, and with the agent killed at random moments, until
// it is drained (mail deleted) or fully forwarded (mail left). After every run the
// campaign checks what must hold whatever happened: nothing is deleted that the SMTP
// server did not take, no message arrives damaged, the index and the settings stay
// readable. At the end of each round it counts lost messages and extra copies; extra
// copies may not outnumber the interruptions.
//
// The same campaign serves the test suite (small) and the benchmark (large).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

class Dovecot;
class SmtpSink;

struct CampaignOptions {
    std::string agent;        // the built agent
    std::string type = "POP"; // account type: "POP" or "IMAP"
    bool leave = false;       // leave forwarded mail on the server
    int messages = 15;        // per round
    int faults = 30;          // rounds go on until this many interruptions struck
    uint64_t seed = 1;
    std::ostream* trace = nullptr; // one line per run when set
};

struct CampaignResult {
    int rounds = 0;
    int runs = 0;
    int messages = 0;      // filled in all rounds
    int interruptions = 0; // faults that struck, kills included
    int cuts = 0;          // connections cut
    int stalls = 0;        // connections held, the run then stopped or killed
    int replies = 0;       // SMTP commands refused by the relay
    int kills = 0;         // agent killed with SIGKILL at a random moment
    int lost = 0;          // messages that never reached the SMTP server
    int duplicates = 0;    // extra copies at the SMTP server
    // Broken rules, each naming the seed, round, run and fault.
    std::vector<std::string> violations;
};

// Fault environment variable: a decimal seed that replaces the caller's.
constexpr const char* kFaultSeedVariable = "TARNWELL_FAULT_SEED";
// The caller's seed, or the one the environment variable sets.
uint64_t faultSeed(uint64_t fallback);

// Runs rounds against box (its POP3 or IMAP port) and sink until options.faults
// interruptions struck. Both are emptied at the start of every round.
CampaignResult runCampaign(const CampaignOptions& options, Dovecot& box, SmtpSink& sink);
