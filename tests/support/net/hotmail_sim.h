// The Hotmail stand-in (sim/hotmail.py) for tests: its start, sign-in (HTTPS with the
// test CA's localhost certificate) and mailbox servers on 127.0.0.1.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "webmail_sim.h"

class HotmailSim : public WebmailSim {
public:
    HotmailSim();

    std::string startUrl() const;  // "http://127.0.0.1:<port>/"
    std::string loginHost() const; // "localhost:<port>"
    std::string mailHost() const;  // "127.0.0.1:<port>"
    // The settings that send the agent's Hotmail accounts here.
    std::vector<std::pair<std::string, std::string>> agentSettings() const;
    // Adds the messages as M1, M2, ... (numbered on from those already stored); their ids.
    std::vector<std::string> fill(const std::vector<std::string>& messages);

    static std::string script();
};
