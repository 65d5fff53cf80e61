// Whole runs of the built agent in a throwaway HOME: settings written as the settings
// tool writes them, the agent's files read back, and helpers that pick its output apart.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent_runner.h"
#include "aiosmtpd.h"
#include "dovecot.h"
#include "testutil.h"

extern const std::string kAgent; // the built "Tarnwell Agent"
constexpr int kRunSeconds = 60;  // bound on one agent run

std::string b64(const std::string& text);
std::string local(int port); // "127.0.0.1:<port>"

struct Acct {
    std::string addr;
    std::string server;
    bool leave = true;
    std::string type = "POP";
    bool secure = false;
    bool enabled = true;
    std::string password = Dovecot::kPassword;
};

// One "Account" record as the settings tool writes it (login name "tester").
std::string record(const Acct& a);

// Lines of out that start with prefix, without it.
std::vector<std::string> linesAfter(const std::string& out, const std::string& prefix);
std::vector<std::string> statusLines(const std::string& out);
std::vector<std::string> summaryLines(const std::string& out);
bool has(const std::vector<std::string>& lines, const std::string& line);
// The actions of the alert blocks in a log, in order.
std::vector<std::string> alertActions(const std::string& log);
// The account addresses named by status lines, in order of first appearance.
std::vector<std::string> statusAccounts(const std::string& out);

class AgentHome {
public:
    // SMTP host, forwarding address "forward@example.org", the account list, and any
    // other single-value keys.
    void settings(const std::vector<std::string>& accounts, const std::string& smtpHost,
                  const std::vector<std::pair<std::string, std::string>>& extra = {});
    std::vector<std::string> argv(const std::vector<std::string>& options) const;
    // The exit status is always 0; anything else is a crash or a sanitizer's report.
    RunResult run(const std::vector<std::string>& options = {}) const;
    std::unique_ptr<AgentRunner> start(const std::vector<std::string>& options = {}) const;
    const std::string& path() const { return home_.path(); }
    std::string file(const std::string& name) const { return home_.file(name); }
    std::string index() const;
    std::string log() const;
    std::string trace() const;
    // The item lines of the account's index section; nullopt without a section.
    std::optional<std::vector<std::string>> section(const std::string& addr) const;

private:
    TempDir home_;
};

// Every saved message text, in order of arrival.
std::vector<std::string> received(const SmtpSink& sink);
SmtpSinkOptions refusingWith(const std::string& fault);
std::vector<std::string> crlfAll(const std::vector<std::string>& texts);
