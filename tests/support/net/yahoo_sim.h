// The Yahoo Mail stand-in (sim/yahoo.py) for tests: its start page, sign-in server
// (HTTPS with the test CA's localhost certificate), mail server (application, web
// service, downloads) and a second download server, all on 127.0.0.1.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "webmail_sim.h"

class YahooSim : public WebmailSim {
public:
    YahooSim();

    std::string startUrl() const;     // "http://127.0.0.1:<port>/", the setting YahooStartURL
    std::string loginHost() const;    // "localhost:<port>", the setting YahooLoginHost
    std::string mailHost() const;     // "127.0.0.1:<port>"
    std::string downloadHost() const; // "127.0.0.1:<port>", where downloads may be redirected
    // The settings that send the agent's Yahoo accounts here.
    std::vector<std::pair<std::string, std::string>> agentSettings() const;

    static std::string script();
};

// The first difference sim/mimecheck.py finds between a message as stored and as
// received, "" when they are equivalent; throws when the checker cannot run.
std::string mimeDifference(const std::string& original, const std::string& received);
