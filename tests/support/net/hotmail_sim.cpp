#include "hotmail_sim.h"

std::string HotmailSim::script() { return std::string(TARNWELL_SOURCE_DIR) + "/sim/hotmail.py"; }

HotmailSim::HotmailSim() : WebmailSim(script(), 3) {}

std::string HotmailSim::startUrl() const { return "http://127.0.0.1:" + std::to_string(port(0)) + "/"; }
std::string HotmailSim::loginHost() const { return "localhost:" + std::to_string(port(1)); }
std::string HotmailSim::mailHost() const { return "127.0.0.1:" + std::to_string(port(2)); }

std::vector<std::pair<std::string, std::string>> HotmailSim::agentSettings() const {
    return {{"HotmailStartURL", startUrl()}, {"HotmailLoginHost", loginHost()}};
}

std::vector<std::string> HotmailSim::fill(const std::vector<std::string>& messages) {
    std::vector<std::string> ids;
    size_t stored = inbox().size() + trash().size();
    for (const std::string& text : messages) {
        ids.push_back("M" + std::to_string(stored + ids.size() + 1));
        addMessage(ids.back(), text);
    }
    return ids;
}
