#include "yahoo_sim.h"

#include <stdexcept>

std::string YahooSim::script() { return std::string(TARNWELL_SOURCE_DIR) + "/sim/yahoo.py"; }

YahooSim::YahooSim() : WebmailSim(script(), 4) {}

std::string YahooSim::startUrl() const { return "http://127.0.0.1:" + std::to_string(port(0)) + "/"; }
std::string YahooSim::loginHost() const { return "localhost:" + std::to_string(port(1)); }
std::string YahooSim::mailHost() const { return "127.0.0.1:" + std::to_string(port(2)); }
std::string YahooSim::downloadHost() const { return "127.0.0.1:" + std::to_string(port(3)); }

std::vector<std::pair<std::string, std::string>> YahooSim::agentSettings() const {
    return {{"YahooStartURL", startUrl()}, {"YahooLoginHost", loginHost()}};
}

std::string mimeDifference(const std::string& original, const std::string& received) {
    TempDir temp;
    writeFile(temp.file("original.eml"), original);
    writeFile(temp.file("received.eml"), received);
    RunResult r = runProgram({"/usr/bin/python3", std::string(TARNWELL_SOURCE_DIR) + "/sim/mimecheck.py",
                              temp.file("original.eml"), temp.file("received.eml")},
                             temp.path());
    if (r.exitStatus == 0) return "";
    if (r.exitStatus == 1 && !r.out.empty()) return r.out;
    throw std::runtime_error("mimecheck.py did not run (status " + std::to_string(r.exitStatus) + "): " + r.out);
}
