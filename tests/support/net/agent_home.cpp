#include "agent_home.h"

#include <algorithm>
#include <gtest/gtest.h>

#include "base64.h"
#include "dovecot.h"
#include "prefs.h"

const std::string kAgent = TARNWELL_BIN_DIR "/Tarnwell Agent";

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

std::string local(int port) { return "127.0.0.1:" + std::to_string(port); }

std::string record(const Acct& a) {
    return b64(a.addr + ":" + a.password) + "\t" + a.server + "\t(default)\t\t" + b64(Dovecot::kUser) + "\t" +
           (a.leave ? "1" : "0") + "\t" + (a.secure ? "1" : "0") + "\t" + (a.enabled ? "1" : "0") + "\t" + a.type +
           "\t";
}

std::vector<std::string> linesAfter(const std::string& out, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : splitLines(out))
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}
std::vector<std::string> statusLines(const std::string& out) { return linesAfter(out, "updateStatus\t"); }
std::vector<std::string> summaryLines(const std::string& out) { return linesAfter(out, "updateSummary\t"); }

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> alertActions(const std::string& log) {
    std::vector<std::string> actions;
    for (std::string line : linesAfter(log, "   Action: ")) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        actions.push_back(line);
    }
    return actions;
}

std::vector<std::string> statusAccounts(const std::string& out) {
    std::vector<std::string> accounts;
    for (const std::string& line : statusLines(out)) {
        std::string account = line.substr(0, line.find('\t'));
        if (account != "None" && !has(accounts, account)) accounts.push_back(account);
    }
    return accounts;
}

void AgentHome::settings(const std::vector<std::string>& accounts, const std::string& smtpHost,
                         const std::vector<std::pair<std::string, std::string>>& extra) {
    prefs::Domain domain(home_.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
    domain.SetAppValue("SMTPHost", smtpHost);
    domain.SetAppValue("dftFwd", std::string("forward@example.org"));
    domain.SetAppValue("Account", accounts);
    for (const auto& [key, value] : extra) domain.SetAppValue(key, value);
    ASSERT_TRUE(domain.AppSynchronize());
}

std::vector<std::string> AgentHome::argv(const std::vector<std::string>& options) const {
    std::vector<std::string> args = {kAgent};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

RunResult AgentHome::run(const std::vector<std::string>& options) const {
    RunResult r = runProgram(argv(options), home_.path(), kRunSeconds);
    EXPECT_EQ(r.exitStatus, 0) << r.out << log();
    return r;
}

std::unique_ptr<AgentRunner> AgentHome::start(const std::vector<std::string>& options) const {
    return std::make_unique<AgentRunner>(argv(options), home_.path());
}

std::string AgentHome::index() const { return readFile(home_.file("Library/Preferences/com.vexlo.Tarnwell.index")); }
std::string AgentHome::log() const { return readFile(home_.file("Library/Logs/Tarnwell.log")); }
std::string AgentHome::trace() const { return readFile(home_.file("Library/Logs/Tarnwell Trace.log")); }

std::optional<std::vector<std::string>> AgentHome::section(const std::string& addr) const {
    std::vector<std::string> lines = splitLines(index());
    auto at = std::find(lines.begin(), lines.end(), "[" + b64(addr) + "]");
    if (at == lines.end()) return std::nullopt;
    std::vector<std::string> items;
    for (++at; at != lines.end() && (at->empty() || at->front() != '['); ++at) items.push_back(*at);
    return items;
}

std::vector<std::string> received(const SmtpSink& sink) {
    std::vector<std::string> texts;
    for (const ReceivedMail& m : sink.messages()) texts.push_back(m.data);
    return texts;
}

SmtpSinkOptions refusingWith(const std::string& fault) {
    SmtpSinkOptions options;
    options.faults = {fault};
    return options;
}

std::vector<std::string> crlfAll(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const std::string& t : texts) out.push_back(crlf(t));
    return out;
}
