// Runs a program (the agent) with its own HOME and reads its standard output line by
// line while it runs, so a test can act at a chosen line: send a signal when a status
// line appears, then collect the rest.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "testutil.h"

class AgentRunner {
public:
    // Starts argv[0] (a path) with HOME set to home; throws when it cannot be started.
    AgentRunner(const std::vector<std::string>& argv, const std::string& home);
    // A program still running is killed.
    ~AgentRunner();
    AgentRunner(const AgentRunner&) = delete;
    AgentRunner& operator=(const AgentRunner&) = delete;

    // Reads until a line equal to line (without its line feed) arrives after the lines
    // matched before; false when the program ended or timeoutSeconds passed first.
    bool waitForLine(const std::string& line, int timeoutSeconds);
    // Sends sig to the program.
    void signal(int sig);
    // Reads the rest of the output and waits for the program to end; killed after
    // timeoutSeconds. The output holds everything read since the start.
    RunResult finish(int timeoutSeconds);
    // Everything read so far.
    const std::string& out() const { return out_; }

private:
    // Reads what is available within the deadline; false at the end of the output.
    bool readSome(int timeoutMs);

    pid_t pid_ = -1;
    int fd_ = -1;
    bool ended_ = false;
    std::string out_;
    size_t scanned_ = 0; // offset of the first line not yet matched against
    RunResult result_;
};
