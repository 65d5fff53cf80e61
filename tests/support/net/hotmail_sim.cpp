#include "hotmail_sim.h"

std::string HotmailSim::script() { return std::string(TARNWELL_SOURCE_DIR) + "/sim/hotmail.py"; }

HotmailSim::HotmailSim() : WebmailSim(script(), 3) {}

std::string HotmailSim::startUrl() const { return "http://127.0.0.1:" + std::to_string(port(0)) + "/"; }
std::string HotmailSim::loginHost() const { return "localhost:" + std::to_string(port(1)); }
std::string HotmailSim::mailHost() const { return "127.0.0.1:" + std::to_string(port(2)); }
