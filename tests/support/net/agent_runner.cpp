#include "agent_runner.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

AgentRunner::AgentRunner(const std::vector<std::string>& argv, const std::string& home) {
    pid_ = spawnWithHome(argv, home, fd_);
}

AgentRunner::~AgentRunner() {
    if (fd_ >= 0) ::close(fd_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool AgentRunner::readSome(int timeoutMs) {
    if (ended_) return false;
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc <= 0) return true;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
        ended_ = true;
        return false;
    }
    out_.append(buf, static_cast<size_t>(n));
    return true;
}

bool AgentRunner::waitForLine(const std::string& line, int timeoutSeconds) {
    auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (true) {
        size_t end;
        while ((end = out_.find('\n', scanned_)) != std::string::npos) {
            bool match = out_.compare(scanned_, end - scanned_, line) == 0;
            scanned_ = end + 1;
            if (match) return true;
        }
        if (ended_ || msLeft(deadline) == 0) return false;
        readSome(msLeft(deadline));
    }
}

void AgentRunner::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

RunResult AgentRunner::finish(int timeoutSeconds) {
    auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (!ended_ && msLeft(deadline) > 0) readSome(msLeft(deadline));
    if (pid_ > 0) {
        int status = 0;
        // The output can end before the program does; that wait is bounded too.
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (msLeft(deadline) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            ::poll(nullptr, 0, 10);
        }
        pid_ = -1;
        result_.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    result_.out = out_;
    return result_;
}
