// The Hotmail stand-in (sim/hotmail.py) for tests: its start, sign-in (HTTPS with the
// test CA's localhost certificate) and mailbox servers on 127.0.0.1.
#pragma once

#include <string>

#include "webmail_sim.h"

class HotmailSim : public WebmailSim {
public:
    HotmailSim();

    std::string startUrl() const;  // "http://127.0.0.1:<port>/"
    std::string loginHost() const; // "localhost:<port>"
    std::string mailHost() const;  // "127.0.0.1:<port>"

    static std::string script();
};
