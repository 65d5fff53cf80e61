// The Hotmail stand-in (sim/hotmail.py) for tests: its start, sign-in (HTTPS with the
// test CA's localhost certificate) and mailbox servers on 127.0.0.1, its scenario, its
// mailbox and its log of every request it answered or refused.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "testutil.h"

// One request as the stand-in read it.
struct SimRequest {
    std::string role;   // "start", "login" or "mail"
    std::string method;
    std::string path;   // with query
    std::vector<std::pair<std::string, std::string>> headers; // in order, names as sent
    std::string body;
    int status = 0;     // 0: the connection was closed without an answer
    std::string refused; // the mismatch the stand-in named, "" when accepted

    // The first value of a header (name compared exactly), "" when absent.
    std::string header(const std::string& name) const;
};

class HotmailSim {
public:
    // Starts the stand-in with a fresh state folder and waits (bounded) for its ports;
    // throws when they do not come.
    HotmailSim();
    // Stops it: SIGTERM, then SIGKILL when it does not end in time.
    ~HotmailSim();
    HotmailSim(const HotmailSim&) = delete;
    HotmailSim& operator=(const HotmailSim&) = delete;

    // Replaces the scenario (JSON text, keys in sim/README.md); read at every request.
    void scenario(const std::string& json);
    std::string startUrl() const;  // "http://127.0.0.1:<port>/"
    std::string loginHost() const; // "localhost:<port>"
    std::string mailHost() const;  // "127.0.0.1:<port>"
    // The settings that send the agent's Hotmail accounts here.
    std::vector<std::pair<std::string, std::string>> agentSettings() const;

    // Stores a message's source bytes and appends it, unread, to the inbox. Ids are
    // letters, digits, ".", "_" and "-" (they travel unencoded in URLs).
    void addMessage(const std::string& id, const std::string& source);
    // Adds the messages as M1, M2, ... (numbered on from those already stored); their ids.
    std::vector<std::string> fill(const std::vector<std::string>& messages);
    std::string source(const std::string& id) const;
    std::vector<std::string> inbox() const;
    std::vector<std::string> trash() const;
    std::vector<std::string> read() const;

    std::vector<SimRequest> requests() const;
    void clearRequests();

    const std::string& stateDir() const { return state_; }
    static std::string script();

private:
    std::vector<std::string> folder(const std::string& name) const;
    void writeMailbox(const std::vector<std::string>& inbox, const std::vector<std::string>& trash,
                      const std::vector<std::string>& read);

    TempDir temp_;
    std::string state_;
    pid_t pid_ = -1;
    int ports_[3] = {0, 0, 0}; // start, login, mail
};
