#include "aiosmtpd.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "testca.h"

namespace {

constexpr int kStartSeconds = 15; // bounded wait for the server to listen
constexpr int kStopSeconds = 5;   // then it is killed

// Reads the child's "PORT <n>" line; 0 when it did not come in time or the child ended
// (its end of the pipe closes with it).
int readPort(int fd, std::string& said) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
    while (said.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[256];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return 0;
        said.append(buf, static_cast<size_t>(n));
    }
    if (said.rfind("PORT ", 0) != 0) return 0;
    return std::atoi(said.c_str() + 5);
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStopSeconds);
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ReceivedMail parseEnvelope(const std::string& text) {
    ReceivedMail mail;
    for (const std::string& line : splitLines(text)) {
        size_t blank = line.find(' ');
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "helo") mail.helo = value;
        if (key == "auth") mail.authUser = value;
        if (key == "tls") mail.tls = value == "1";
        if (key == "from") mail.from = value;
        if (key == "to") mail.to.push_back(value);
    }
    return mail;
}

// The numbered .eml files of a folder, in order.
std::vector<std::string> messageBases(const std::string& folder) {
    std::vector<std::string> bases;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.path().extension() == ".eml") bases.push_back((entry.path().parent_path() / entry.path().stem()).string());
    std::sort(bases.begin(), bases.end());
    return bases;
}

} // namespace

std::string SmtpSink::script() { return std::string(TARNWELL_SOURCE_DIR) + "/tests/support/net/smtp_sink.py"; }

SmtpSink::SmtpSink(SmtpSinkOptions options) : options_(std::move(options)) {
    folder_ = options_.folder.empty() ? temp_.file("mail") : options_.folder;
    std::vector<std::string> args = {"/usr/bin/python3", script(), "--dir", folder_};
    if (options_.tls) {
        args.insert(args.end(), {"--tls-cert", testCerts().serverCert, "--tls-key", testCerts().serverKey});
    }
    if (!options_.user.empty()) args.insert(args.end(), {"--user", options_.user, "--password", options_.password});
    for (const std::string& fault : options_.faults) args.insert(args.end(), {"--fail", fault});
    if (options_.lineLimit > 0) args.insert(args.end(), {"--line-limit", std::to_string(options_.lineLimit)});
    if (!options_.pipelining) args.push_back("--no-pipelining");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("smtp sink: pipe failed");
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // The server must not outlive a test program that dies without its destructor.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        throw std::runtime_error("smtp sink: fork failed");
    }
    std::string said;
    port_ = readPort(fds[0], said);
    ::close(fds[0]);
    if (port_ <= 0) {
        stop(pid_);
        throw std::runtime_error("smtp sink did not start: " + said);
    }
}

SmtpSink::~SmtpSink() { stop(pid_); }

std::string SmtpSink::server() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<ReceivedMail> SmtpSink::messages() const {
    std::vector<ReceivedMail> mails;
    for (const std::string& base : messageBases(folder_)) {
        ReceivedMail mail = parseEnvelope(readFile(base + ".env"));
        mail.data = readFile(base + ".eml");
        mails.push_back(std::move(mail));
    }
    return mails;
}

size_t SmtpSink::count() const { return messageBases(folder_).size(); }

void SmtpSink::clear() {
    std::error_code ec;
    for (const std::string& base : messageBases(folder_)) {
        std::filesystem::remove(base + ".eml", ec);
        std::filesystem::remove(base + ".env", ec);
    }
}
