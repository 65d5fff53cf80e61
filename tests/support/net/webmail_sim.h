// A web-mail stand-in from sim/ for tests: the script started with a fresh state folder
// and the test CA's localhost certificate, its listeners on 127.0.0.1, its scenario, its
// mailbox and its log of every request it answered or refused (sim/README.md).
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "testutil.h"

// One request as the stand-in read it.
struct SimRequest {
    std::string role;   // the listener's role, such as "start", "login" or "mail"
    std::string method;
    std::string path;   // with query
    std::vector<std::pair<std::string, std::string>> headers; // in order, names as sent
    std::string body;
    int status = 0;     // 0: the connection was closed without an answer
    std::string refused; // the mismatch the stand-in named, "" when accepted

    // The first value of a header (name compared exactly), "" when absent.
    std::string header(const std::string& name) const;
};

class WebmailSim {
public:
    WebmailSim(const WebmailSim&) = delete;
    WebmailSim& operator=(const WebmailSim&) = delete;

    // Replaces the scenario (JSON text, keys in sim/README.md); read at every request.
    void scenario(const std::string& json);

    // Stores a message's source bytes and appends it, unread, to the inbox. Ids are
    // letters, digits, ".", "_" and "-".
    void addMessage(const std::string& id, const std::string& source);
    std::string source(const std::string& id) const;
    std::vector<std::string> inbox() const;
    std::vector<std::string> trash() const;
    std::vector<std::string> read() const;

    std::vector<SimRequest> requests() const;
    void clearRequests();

    const std::string& stateDir() const { return state_; }

protected:
    // Starts sim/<script> and waits (bounded) for its line "PORTS" with one port per
    // role; throws when it does not come.
    WebmailSim(const std::string& script, size_t roles);
    // Stops it: SIGTERM, then SIGKILL when it does not end in time.
    ~WebmailSim();
    int port(size_t role) const { return ports_.at(role); }

private:
    std::vector<std::string> folder(const std::string& name) const;
    void writeMailbox(const std::vector<std::string>& inbox, const std::vector<std::string>& trash,
                      const std::vector<std::string>& read);

    TempDir temp_;
    std::string state_;
    pid_t pid_ = -1;
    std::vector<int> ports_; // in the order the script prints them
};
