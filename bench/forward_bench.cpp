// Forwarding speed and memory of the built "Tarnwell Agent" against fetchmail, on the
// same mailboxes (a private Dovecot) and the same SMTP sink, all on 127.0.0.1:
//   (a) 2,000 messages of about 5 KB over POP3   (b) the same over IMAP
//   (c) one 50 MB message with an attachment over POP3   (d) (a) over POP3 with TLS
//   (e) (b) with the mail deleted after forwarding (the mailbox refilled before each run)
//   (f) 500 of those messages over POP3 and (g) over IMAP, both through relays that
//       delay each direction of the mail and of the SMTP connection by 25 ms, as
//       servers far away do (a 50 ms round trip)
// each with a sink that acknowledges TCP data at once and with one that keeps the
// kernel's delayed acknowledgement ((f) and (g) with the first only: there the round
// trips dominate). The two programs alternate, three runs each; both start without
// state and, but in (e), leave the mail on the server, so every run forwards the whole
// mailbox: one SMTP transaction per message. Every run is checked at the sink: all
// messages, Tarnwell's copies byte-identical to the stored messages (headers included),
// fetchmail's (which gain a Received header) identical in their bodies; in (e) the
// mailbox must be empty afterwards.
//   (h) Tarnwell alone: a POP3 listing of 25,000 to 200,000 messages, every one already
//       in the mail index (nothing to forward), from a scripted server (listing_pop.h);
//       the index must come out unchanged.
//
// Usage: forward_bench [--runs N] [--messages N] [--size BYTES] [--big-mb N]
//                      [--remote-messages N] [--delay-ms N] [--listings N,N,...]
//                      [--scenarios abcdefgh] [--sinks qn] [--agent PATH] [--wrap "PROFILER ARGS"]
// (--wrap runs the agent under a profiler, e.g. "/usr/bin/valgrind --tool=callgrind".)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "base64.h"
#include "delay_relay.h"
#include "dovecot.h"
#include "fast_sink.h"
#include "fetch_floor.h"
#include "listing_pop.h"
#include "loopback.h"
#include "prefs.h"
#include "testca.h"
#include "testutil.h"

namespace {

struct Options {
    int runs = 3;
    long messages = 2000;
    size_t size = 5000;
    long bigMb = 50;
    long remoteMessages = 500;
    int delayMs = 25;
    std::vector<long> listings = {25000, 50000, 100000, 200000};
    std::string scenarios = "abcdefgh";
    std::string sinks = "qn";
    std::string agent = TARNWELL_BIN_DIR "/Tarnwell Agent";
    int runLimit = 900; // seconds before a run is killed
    std::vector<std::string> wrap; // words put before the agent's command (a profiler)
};

const char* const kForward = "forward@example.org";
const char* const kSender = "sender@example.org";

// ---------------------------------------------------------------- mail to forward

// Deterministic filler: words of varying length, lines of up to 72 characters, now and
// then a line that begins with a dot (stuffed on the wire).
struct Lcg {
    unsigned long long x;
    unsigned next() {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>(x >> 33);
    }
};

std::string smallMessage(long n, size_t size) {
    std::string t = "Return-Path: <" + std::string(kSender) +
                    ">\nDate: Mon, 3 Jun 2024 10:00:00 +0000\nFrom: Sender <" + kSender +
                    ">\nTo: tester@example.org\nSubject: Benchmark message " + std::to_string(n) +
                    "\nMessage-ID: <bench-" + std::to_string(n) +
                    "@example.org>\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n"
                    "Message " + std::to_string(n) + " of the forwarding benchmark.\n";
    Lcg r{static_cast<unsigned long long>(n) * 7919 + 1};
    std::string line;
    for (long k = 0; t.size() < size; ++k) {
        if (k % 23 == 11) line = ".";
        while (line.size() < 60 + r.next() % 12) {
            if (!line.empty()) line += ' ';
            for (unsigned w = 2 + r.next() % 9; w > 0; --w) line += static_cast<char>('a' + r.next() % 26);
        }
        t += line + "\n";
        line.clear();
    }
    return t;
}

// A message of about bytes bytes (LF line ends): a short text part and a Base64
// attachment of pseudo-random data, written to path; returns its text.
std::string bigMessage(const std::string& path, long long bytes) {
    std::string t = "Return-Path: <" + std::string(kSender) +
                    ">\nDate: Mon, 3 Jun 2024 10:00:00 +0000\nFrom: Sender <" + kSender +
                    ">\nTo: tester@example.org\nSubject: Benchmark attachment\nMessage-ID: <bench-big@example.org>\n"
                    "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"=-bench-boundary\"\n\n"
                    "--=-bench-boundary\nContent-Type: text/plain; charset=us-ascii\n\nThe attachment follows.\n.\n\n"
                    "--=-bench-boundary\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
                    "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"data.bin\"\n\n";
    static const char* const b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string end = "\n--=-bench-boundary--\n";
    Lcg r{42};
    t.reserve(static_cast<size_t>(bytes) + 100);
    while (static_cast<long long>(t.size() + 77 + end.size()) <= bytes) {
        for (int i = 0; i < 76; ++i) t += b64[r.next() % 64];
        t += '\n';
    }
    t.pop_back();
    t += end;
    writeFile(path, t);
    return t;
}

// ---------------------------------------------------------------- child processes

struct Measure {
    double wall = 0;   // seconds
    double cpu = 0;    // user + system seconds
    long rssKb = 0;    // peak resident set
    int exitStatus = -1;
    std::string out;   // standard output and error
};

std::string findProgram(const char* name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    throw std::runtime_error(std::string(name) + " is not installed (scripts/setup.sh installs it)");
}

// Runs argv with exactly env, reading its output through a pipe (as the menu reads the
// agent's). Wall time from the fork to the reaping. CPU and peak RSS come from GNU time
// started in between: a child forked from this process would inherit the high-water
// mark of its large address space (the mailboxes' texts) in ru_maxrss.
Measure runMeasured(const std::vector<std::string>& command, const std::vector<std::string>& env, int limitSeconds) {
    static const std::string timeProgram = findProgram("time");
    TempDir scratch;
    std::string usage = scratch.file("usage");
    std::vector<std::string> argv = {timeProgram, "-f", "%U %S %M", "-o", usage};
    argv.insert(argv.end(), command.begin(), command.end());
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    Measure m;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    auto deadline = start + std::chrono::seconds(limitSeconds);
    char buf[65536];
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            m.out += "\n[killed after " + std::to_string(limitSeconds) + " s]\n";
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        m.out.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // GNU time notes a failing command on a line of its own before the figures.
    std::vector<std::string> lines = splitLines(readFile(usage));
    double user = 0, sys = 0;
    if (lines.empty() || std::sscanf(lines.back().c_str(), "%lf %lf %ld", &user, &sys, &m.rssKb) != 3)
        m.exitStatus = -1;
    m.cpu = user + sys;
    return m;
}

// ---------------------------------------------------------------- scenarios

struct Scenario {
    char key;
    std::string title;
    bool imap = false;
    bool tls = false;
    bool big = false;
    bool deleting = false; // mail deleted after forwarding, else left on the server
    bool remote = false;   // behind the delaying relays
};

struct Mailbox {
    std::unique_ptr<Dovecot> server; // only for the scenarios that run
    std::vector<std::string> wire; // stored messages as served: CR LF line ends
    long long bytes = 0;
    TempDir files;                 // each message as delivered, for refilling
    std::vector<std::string> paths;
    int port(const Scenario& s) const {
        return s.imap ? (s.tls ? server->imapsPort() : server->imapPort())
                      : (s.tls ? server->popsPort() : server->popPort());
    }
    void add(const std::string& lfText) {
        paths.push_back(files.file(std::to_string(paths.size())));
        writeFile(paths.back(), lfText);
        server->addMessageFile(paths.back());
        wire.push_back(crlf(lfText));
        bytes += static_cast<long long>(wire.back().size());
    }
    // Puts every message back after a run that deleted them.
    void refill() {
        server->clearMailbox();
        for (const std::string& path : paths) server->addMessageFile(path);
    }
};

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

// Where a program fetches from and forwards to.
struct Route {
    int mailPort, smtpPort;
};

std::string indexPathIn(const TempDir& home) { return home.file("Library/Preferences/com.vexlo.Tarnwell.index"); }

// Runs the agent in home (settings written here, a mail index already there stays).
Measure runTarnwell(const Options& o, const Scenario& s, Route route, const TempDir& home) {
    prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
    domain.SetAppValue("SMTPHost", "127.0.0.1:" + std::to_string(route.smtpPort));
    domain.SetAppValue("dftFwd", std::string(kForward));
    // address:password, server, forwarding address, -, login, leave, secure, enabled, type
    std::string account = b64(std::string(kSender) + ":" + Dovecot::kPassword) + "\t127.0.0.1:" +
                          std::to_string(route.mailPort) + "\t(default)\t\t" + b64(Dovecot::kUser) + "\t" +
                          (s.deleting ? "0" : "1") + "\t" + (s.tls ? "1" : "0") + "\t1\t" + (s.imap ? "IMAP" : "POP") +
                          "\t";
    domain.SetAppValue("Account", std::vector<std::string>{account});
    if (!domain.AppSynchronize()) throw std::runtime_error("cannot write the agent's settings");
    std::vector<std::string> argv = o.wrap;
    argv.push_back(o.agent);
    return runMeasured(argv, {"HOME=" + home.path(), "PATH=/usr/bin:/bin", "SSL_CERT_FILE=" + testCerts().caCert},
                       o.runLimit);
}

Measure runFetchmail(const Options& o, const Scenario& s, Route route) {
    TempDir home;
    ::chmod(home.path().c_str(), 0700);
    std::string rc = home.file("fetchmailrc");
    std::string text = "set no syslog\nset no bouncemail\nset no spambounce\n"
                       "poll 127.0.0.1 with proto " + std::string(s.imap ? "IMAP" : "POP3") + " port " +
                       std::to_string(route.mailPort) + " timeout 120\n"
                       "  user \"" + Dovecot::kUser + "\" there with password \"" + Dovecot::kPassword + "\" is \"" +
                       kForward + "\" here\n"
                       "  smtphost 127.0.0.1/" + std::to_string(route.smtpPort) + " smtpname \"" + kForward + "\"\n" +
                       (s.deleting ? "  fetchall no rewrite\n" : "  keep fetchall no rewrite\n");
    if (!s.tls) text += "  sslproto ''\n"; // no opportunistic STARTTLS: plain text, as Tarnwell's account
    if (s.tls)
        // The certificate is checked against the test CA, as Tarnwell checks it; it names
        // localhost and 127.0.0.1.
        text += "  ssl sslcertck sslcertfile \"" + testCerts().caCert + "\" sslcommonname localhost\n";
    writeFile(rc, text);
    ::chmod(rc.c_str(), 0600);
    static const std::string fetchmail = findProgram("fetchmail");
    return runMeasured({fetchmail, "--nodetach", "-f", rc, "-i", home.file("fetchids")},
                       {"HOME=" + home.path(), "FETCHMAILHOME=" + home.path(), "PATH=/usr/bin:/bin", "LC_ALL=C"},
                       o.runLimit);
}

std::string_view bodyOf(const std::string& text) {
    size_t at = text.find("\r\n\r\n");
    return at == std::string::npos ? std::string_view() : std::string_view(text).substr(at + 4);
}

// "ok", or what is wrong with what the sink received (and, when the mail was to be
// deleted, with what is left on the server).
std::string check(FastSink& sink, const Mailbox& box, const Scenario& s, bool wholeMessage, const Measure& m) {
    FastSink::Counts counts;
    std::vector<std::string> got = sink.take(counts);
    long n = static_cast<long>(box.wire.size());
    if (m.exitStatus != 0) return "exit status " + std::to_string(m.exitStatus);
    if (static_cast<long>(got.size()) != n || counts.mails != n || counts.recipients != n)
        return std::to_string(got.size()) + " messages, " + std::to_string(counts.mails) + " MAIL, " +
               std::to_string(counts.recipients) + " RCPT of " + std::to_string(n);
    auto part = [&](const std::string& t) { return wholeMessage ? std::string_view(t) : bodyOf(t); };
    std::vector<std::string_view> want, have;
    for (const auto& t : box.wire) want.push_back(part(t));
    for (const auto& t : got) have.push_back(part(t));
    std::sort(want.begin(), want.end());
    std::sort(have.begin(), have.end());
    for (size_t i = 0; i < want.size(); ++i)
        if (want[i] != have[i]) return wholeMessage ? "copy not byte-identical" : "body differs";
    if (s.deleting && !box.server->messages().empty())
        return std::to_string(box.server->messages().size()) + " messages left on the server";
    return "ok";
}

// ---------------------------------------------------------------- the sink's ceiling

// A client as fast as this sink allows: one write per command, the whole stuffed text
// and its end mark in one write, every reply awaited. Returns messages per second.
double sinkCeiling(const FastSink& sink, const std::vector<std::string>& wire) {
    int fd = connectLoopback(sink.port());
    std::vector<std::string> stuffed;
    for (const auto& t : wire) {
        std::string s;
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '.' && (i == 0 || t[i - 1] == '\n')) s += '.';
            s += t[i];
        }
        stuffed.push_back(s + ".\r\n");
    }
    char buf[4096];
    auto await = [&](int replies) {
        int seen = 0;
        while (seen < replies) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) throw std::runtime_error("sink closed");
            for (ssize_t i = 0; i < n; ++i) seen += buf[i] == '\n';
        }
    };
    auto say = [&](const std::string& line) {
        if (!sendAll(fd, line)) throw std::runtime_error("sink send");
    };
    await(1);
    say("HELO bench\r\n");
    await(1);
    auto start = std::chrono::steady_clock::now();
    for (const auto& s : stuffed) {
        say("MAIL FROM:<sender@example.org>\r\n");
        await(1);
        say("RCPT TO:<forward@example.org>\r\n");
        await(1);
        say("DATA\r\n");
        await(1);
        say(s);
        await(1);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    say("QUIT\r\n");
    await(1);
    ::close(fd);
    return static_cast<double>(stuffed.size()) / secs;
}

// ---------------------------------------------------------------- report

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Runs {
    std::vector<Measure> all;
    std::vector<std::string> checks;
    double wall() const {
        std::vector<double> v;
        for (const auto& m : all) v.push_back(m.wall);
        return median(v);
    }
    double cpu() const {
        std::vector<double> v;
        for (const auto& m : all) v.push_back(m.cpu);
        return median(v);
    }
    long rssKb() const {
        long peak = 0;
        for (const auto& m : all) peak = std::max(peak, m.rssKb);
        return peak;
    }
    bool ok() const {
        return std::all_of(checks.begin(), checks.end(), [](const std::string& c) { return c == "ok"; });
    }
    std::string checkText() const {
        for (const auto& c : checks)
            if (c != "ok") return c;
        return checks.empty() ? "-" : "ok";
    }
};

struct Result {
    Scenario scenario;
    bool quickAck = false;
    long messages = 0;
    long long bytes = 0;
    Runs tarnwell, fetchmail;
    double floor = 0;
    double msgRate(const Runs& r) const { return static_cast<double>(messages) / r.wall(); }
    double mbRate(const Runs& r) const { return static_cast<double>(bytes) / 1e6 / r.wall(); }
};

std::string machine() {
    std::ifstream in("/proc/cpuinfo");
    std::string line, model = "unknown CPU";
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + model;
}

// The load average: other work on the machine slows every run down and makes the
// figures vary, so the report names it.
std::string load() {
    std::string text = readFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

void printRow(const char* scen, const char* sink, const char* who, const Runs& r, const Result& res) {
    std::printf("%-30s %-6s %-10s %8.2f %8.2f %8.1f %9.0f %8.1f  %s\n", scen, sink, who, r.wall(), r.cpu(),
                static_cast<double>(r.rssKb()) / 1024, res.msgRate(r), res.mbRate(r), r.checkText().c_str());
}

struct ListingResult {
    long listed = 0;
    Runs runs;
};

// Scenario (h): one leaving POP3 account whose listing holds only messages the index
// knows, each size timed runs times; every run must leave the index as it found it.
std::vector<ListingResult> timeListings(const Options& o, FastSink& sink) {
    const Scenario pop{'h', "", false, false, false, false, false};
    std::vector<ListingResult> results;
    for (long listed : o.listings) {
        ListingPop server(listed);
        std::string index = "[" + b64(kSender) + "]\n";
        for (long n = 1; n <= listed; ++n) index += ListingPop::uid(n) + "\tF\n";
        ListingResult res;
        res.listed = listed;
        for (int r = 0; r < o.runs; ++r) {
            TempDir home;
            std::filesystem::create_directories(home.file("Library/Preferences"));
            writeFile(indexPathIn(home), index);
            Measure m = runTarnwell(o, pop, {server.port(), sink.port()}, home);
            FastSink::Counts counts;
            const size_t forwarded = sink.take(counts).size();
            std::string c = m.exitStatus != 0          ? "exit status " + std::to_string(m.exitStatus)
                            : server.touched() != 0    ? std::to_string(server.touched()) + " retrievals or deletions"
                            : forwarded != 0           ? std::to_string(forwarded) + " messages forwarded"
                            : readFile(indexPathIn(home)) != index ? "index changed"
                                                                   : "ok";
            std::fprintf(stderr, "(h) %ld listed run %d: %.2f s wall, %.2f s CPU, %ld kB peak RSS, %s\n", listed, r + 1,
                         m.wall, m.cpu, m.rssKb, c.c_str());
            if (c != "ok") std::fprintf(stderr, "---- output:\n%s\n----\n", m.out.substr(0, 4000).c_str());
            res.runs.all.push_back(m);
            res.runs.checks.push_back(c);
        }
        results.push_back(std::move(res));
    }
    return results;
}

struct Target {
    std::string what;
    double value, limit;
    bool atLeast;
    bool met() const { return atLeast ? value >= limit : value <= limit; }
};

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--runs") o.runs = std::stoi(v);
        else if (k == "--messages") o.messages = std::stol(v);
        else if (k == "--size") o.size = std::stoul(v);
        else if (k == "--big-mb") o.bigMb = std::stol(v);
        else if (k == "--remote-messages") o.remoteMessages = std::stol(v);
        else if (k == "--delay-ms") o.delayMs = std::stoi(v);
        else if (k == "--listings") {
            o.listings.clear();
            for (size_t at = 0; at < v.size(); at = v.find(',', at) + 1) {
                o.listings.push_back(std::stol(v.substr(at)));
                if (v.find(',', at) == std::string::npos) break;
            }
        }
        else if (k == "--scenarios") o.scenarios = v;
        else if (k == "--sinks") o.sinks = v;
        else if (k == "--agent") o.agent = v;
        else if (k == "--wrap") {
            for (size_t at = 0; at <= v.size();) {
                size_t blank = std::min(v.find(' ', at), v.size());
                if (blank > at) o.wrap.push_back(v.substr(at, blank - at));
                at = blank + 1;
            }
        }
        else {
            std::fprintf(stderr, "unknown option %s\n", k.c_str());
            return 2;
        }
    }
    auto wanted = [&](const char* keys) { return o.scenarios.find_first_of(keys) != std::string::npos; };
    o.remoteMessages = std::min(o.remoteMessages, o.messages);
    auto began = std::chrono::steady_clock::now();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::fprintf(stderr, "preparing mailboxes...\n");
    testCerts();
    std::vector<std::string> texts, ceilingWire;
    long long smallBytes = 0;
    for (long n = 1; n <= o.messages; ++n) {
        texts.push_back(smallMessage(n, o.size));
        ceilingWire.push_back(crlf(texts.back()));
        smallBytes += static_cast<long long>(ceilingWire.back().size());
    }
    auto fill = [&](const char* keys, long count) {
        auto box = std::make_unique<Mailbox>();
        if (!wanted(keys)) return box;
        box->server = std::make_unique<Dovecot>();
        for (long n = 0; n < count; ++n) box->add(texts[static_cast<size_t>(n)]);
        return box;
    };
    // Every mailbox has a server of its own, so that one emptied by (e) or one of another
    // size never disturbs the others' runs.
    std::unique_ptr<Mailbox> small = fill("abd", o.messages), deleting = fill("e", o.messages),
                             remote = fill("fg", o.remoteMessages), big = std::make_unique<Mailbox>();
    if (wanted("c")) {
        big->server = std::make_unique<Dovecot>();
        TempDir aside;
        std::string t = bigMessage(aside.file("big"), o.bigMb * 1024 * 1024);
        big->server->addMessageFile(aside.file("big"));
        big->wire.push_back(crlf(t));
        big->bytes = static_cast<long long>(big->wire.back().size());
    }

    char sizeText[64], remoteText[64];
    const double kbEach = static_cast<double>(smallBytes) / static_cast<double>(o.messages) / 1024;
    std::snprintf(sizeText, sizeof sizeText, "%ld x %.1f KB", o.messages, kbEach);
    std::snprintf(remoteText, sizeof remoteText, "%ld x %.1f KB +%d ms", o.remoteMessages, kbEach, o.delayMs);
    std::vector<Scenario> scenarios = {
        {'a', std::string("(a) POP3 ") + sizeText, false, false, false, false, false},
        {'b', std::string("(b) IMAP ") + sizeText, true, false, false, false, false},
        {'c', "(c) POP3 1 x " + std::to_string(o.bigMb) + " MB attachment", false, false, true, false, false},
        {'d', std::string("(d) POP3+TLS ") + sizeText, false, true, false, false, false},
        {'e', std::string("(e) IMAP ") + sizeText + " del", true, false, false, true, false},
        {'f', std::string("(f) POP3 ") + remoteText, false, false, false, false, true},
        {'g', std::string("(g) IMAP ") + remoteText, true, false, false, false, true},
    };
    auto boxOf = [&](const Scenario& s) -> Mailbox& {
        return s.big ? *big : s.deleting ? *deleting : s.remote ? *remote : *small;
    };
    // An untimed retrieval of the whole mailbox, straight from the server: Dovecot's
    // index and the page cache are warm for every run.
    auto retrieve = [&](const Scenario& s) {
        Mailbox& box = boxOf(s);
        FloorResult f = retrieveAll(box.port(s), s.imap, s.tls, Dovecot::kUser, Dovecot::kPassword,
                                    static_cast<long>(box.wire.size()));
        if (!f.error.empty()) throw std::runtime_error("floor retrieval failed: " + f.error);
        return f.seconds;
    };
    const auto delay = std::chrono::milliseconds(o.delayMs);

    std::printf("Forwarding benchmark: Tarnwell Agent and fetchmail, %d runs each, alternating\n", o.runs);
    std::printf("machine: %s; load average at the start: %s\n", machine().c_str(), load().c_str());
    std::printf("mail: %s as served (CR LF); %ld MB message: %.1f MB as served\n", sizeText, o.bigMb,
                static_cast<double>(big->bytes) / 1e6);
    std::printf("sink 'quick': TCP_QUICKACK after every read; sink 'normal': the kernel's delayed acknowledgement\n");
    if (wanted("e"))
        std::printf("(e): the mail is deleted after forwarding (fetchmail without 'keep'); the mailbox is refilled "
                    "and read once, untimed, before each run\n");
    if (wanted("fg"))
        std::printf("(f), (g): %d ms added in each direction on the mail and on the SMTP connection by a relay; "
                    "quick sink only\n", o.delayMs);

    std::vector<Result> results;
    for (char sinkKey : wanted("abcdefg") ? o.sinks : std::string()) {
        FastSink sink(sinkKey == 'q');
        const char* sinkName = sink.quickAck() ? "quick" : "normal";
        std::printf("sink ceiling (%s): %.0f msg/s for the (a) mailbox, one client writing each message at once\n",
                    sinkName, sinkCeiling(sink, ceilingWire));
        if (wanted("fg") && sink.quickAck()) {
            const double direct = roundTripMs(sink.port(), 50);
            double bare = 0, delayed = 0;
            {
                DelayRelay relay(sink.port(), std::chrono::microseconds(0));
                bare = roundTripMs(relay.port(), 50);
            }
            {
                DelayRelay relay(sink.port(), delay);
                delayed = roundTripMs(relay.port(), 20);
            }
            std::printf("delay relay: NOOP round trip to the sink %.3f ms direct, %.3f ms through a relay adding "
                        "nothing, %.2f ms through one adding %d ms each way; the relay's own cost: %.3f ms per round "
                        "trip (%.3f ms with the delay)\n",
                        direct, bare, delayed, o.delayMs, bare - direct, delayed - 2 * o.delayMs - direct);
        }
        FastSink::Counts ignored;
        sink.take(ignored);
        for (const Scenario& s : scenarios) {
            if (o.scenarios.find(s.key) == std::string::npos || (s.remote && !sink.quickAck())) continue;
            Mailbox& box = boxOf(s);
            Result res;
            res.scenario = s;
            res.quickAck = sink.quickAck();
            res.messages = static_cast<long>(box.wire.size());
            res.bytes = box.bytes;
            std::unique_ptr<DelayRelay> mailRelay, smtpRelay;
            Route route{box.port(s), sink.port()};
            if (s.remote) {
                mailRelay = std::make_unique<DelayRelay>(route.mailPort, delay);
                smtpRelay = std::make_unique<DelayRelay>(route.smtpPort, delay);
                route = {mailRelay->port(), smtpRelay->port()};
            }
            // The floor is taken without the relays (through them it would only count the
            // round trips); the first pass warms up.
            std::vector<double> floors;
            for (int r = 0; r <= (s.remote ? 0 : o.runs); ++r) {
                double seconds = retrieve(s);
                if (r > 0) floors.push_back(seconds);
            }
            res.floor = median(floors);
            for (int r = 0; r < o.runs; ++r) {
                for (int who = 0; who < 2; ++who) {
                    if (s.deleting) {
                        box.refill();
                        retrieve(s);
                    }
                    Measure m;
                    if (who == 0) {
                        TempDir home;
                        m = runTarnwell(o, s, route, home);
                    } else {
                        m = runFetchmail(o, s, route);
                    }
                    std::string c = check(sink, box, s, who == 0, m);
                    Runs& runs = who == 0 ? res.tarnwell : res.fetchmail;
                    runs.all.push_back(m);
                    runs.checks.push_back(c);
                    std::fprintf(stderr, "%s %s %s run %d: %.2f s wall, %.2f s CPU, %ld kB peak RSS, %s\n",
                                 s.title.c_str(), sinkName, who == 0 ? "Tarnwell" : "fetchmail", r + 1, m.wall, m.cpu,
                                 m.rssKb, c.c_str());
                    if (c != "ok") std::fprintf(stderr, "---- output:\n%s\n----\n", m.out.substr(0, 4000).c_str());
                }
            }
            results.push_back(std::move(res));
        }
    }
    std::vector<ListingResult> listings;
    if (wanted("h")) {
        FastSink sink(true);
        listings = timeListings(o, sink);
    }

    std::printf("\nmedians of %d runs (peak RSS: the largest of the runs)\n", o.runs);
    if (!results.empty())
        std::printf("%-30s %-6s %-10s %8s %8s %8s %9s %8s  %s\n", "scenario", "sink", "program", "wall s", "CPU s",
                    "RSS MB", "msg/s", "MB/s", "check");
    std::vector<Target> targets;
    long rssA = 0, rssC = 0;
    for (const Result& r : results) {
        const char* sinkName = r.quickAck ? "quick" : "normal";
        printRow(r.scenario.title.c_str(), sinkName, "Tarnwell", r.tarnwell, r);
        printRow("", "", "fetchmail", r.fetchmail, r);
        double speed = r.msgRate(r.tarnwell) / r.msgRate(r.fetchmail);
        double cpuRatio = r.tarnwell.cpu() / r.fetchmail.cpu();
        std::printf("%-30s %-6s %-10s %8.2f %8.2f %8.2f %9.2f %8.2f\n", "", "", "ratio T/f",
                    r.tarnwell.wall() / r.fetchmail.wall(), cpuRatio,
                    static_cast<double>(r.tarnwell.rssKb()) / static_cast<double>(r.fetchmail.rssKb()), speed, speed);
        if (r.floor > 0)
            std::printf("%-30s %-6s %-10s %8.2f %8s %8s %9.0f %8.1f\n", "", "", "floor", r.floor, "", "",
                        static_cast<double>(r.messages) / r.floor, static_cast<double>(r.bytes) / 1e6 / r.floor);
        std::string tag = r.scenario.title.substr(0, 3) + " " + sinkName + ": ";
        if (r.scenario.big)
            targets.push_back({tag + "MB/s, Tarnwell / fetchmail", speed, 2, true});
        else
            targets.push_back({tag + "msg/s, Tarnwell / fetchmail", speed,
                               !r.quickAck ? 20.0 : r.scenario.imap && !r.scenario.remote ? 3.0 : 2.0, true});
        // Behind the relays both programs spend almost all their time waiting; their CPU
        // is compared where the same work runs at full speed, in (a) and (b).
        if (!r.scenario.remote)
            targets.push_back({tag + "CPU s per message, Tarnwell / fetchmail", cpuRatio, 0.5, false});
        // Deleting may cost something, but not another pass over the mailbox.
        for (const Result& left : results)
            if (r.scenario.key == 'e' && left.scenario.key == 'b' && left.quickAck == r.quickAck)
                targets.push_back({tag + "Tarnwell wall s, (e) / (b)", r.tarnwell.wall() / left.tarnwell.wall(),
                                   2, false});
        if (r.scenario.key == 'a') rssA = std::max(rssA, r.tarnwell.rssKb());
        if (r.scenario.key == 'c') rssC = std::max(rssC, r.tarnwell.rssKb());
        if (!r.tarnwell.ok() || !r.fetchmail.ok())
            targets.push_back({tag + "every message received intact (1 = yes)", 0, 1, true});
    }
    if (rssC > 0) targets.push_back({"(c) Tarnwell peak RSS, MB", static_cast<double>(rssC) / 1024, 8, false});
    if (rssC > 0 && rssA > 0)
        targets.push_back({"(c) Tarnwell peak RSS above (a)'s, MB", static_cast<double>(rssC - rssA) / 1024, 2, false});

    if (!listings.empty()) {
        std::printf("\n(h) Tarnwell alone: a leaving POP3 account whose listing holds only messages already in the "
                    "mail index (a scripted POP3 server on 127.0.0.1 serves the UIDL listing, not Dovecot)\n");
        std::printf("%-30s %-6s %-10s %8s %8s %8s %9s\n", "listed messages", "", "", "wall s", "CPU s", "RSS MB",
                    "us/listed");
        for (const ListingResult& l : listings)
            std::printf("%-30ld %-6s %-10s %8.2f %8.2f %8.1f %9.2f  %s\n", l.listed, "", "Tarnwell", l.runs.wall(),
                        l.runs.cpu(), static_cast<double>(l.runs.rssKb()) / 1024,
                        l.runs.wall() * 1e6 / static_cast<double>(l.listed), l.runs.checkText().c_str());
        const ListingResult &least = listings.front(), &most = listings.back();
        const std::string tag = "(h) " + std::to_string(most.listed) + " listed: ";
        targets.push_back({tag + "Tarnwell wall s", most.runs.wall(),
                           2.0 * static_cast<double>(most.listed) / 200000, false});
        if (listings.size() > 1)
            targets.push_back({"(h) wall s per listed, " + std::to_string(most.listed) + " / " +
                                   std::to_string(least.listed),
                               most.runs.wall() / static_cast<double>(most.listed) /
                                   (least.runs.wall() / static_cast<double>(least.listed)),
                               1.5, false});
        for (const ListingResult& l : listings)
            if (!l.runs.ok())
                targets.push_back({"(h) " + std::to_string(l.listed) + " listed: index unchanged, nothing fetched (1 = yes)",
                                   0, 1, true});
    }

    std::printf("\ntargets\n");
    int missed = 0;
    for (const Target& t : targets) {
        std::printf("  %-58s %8.2f  %s %-6g %s\n", t.what.c_str(), t.value, t.atLeast ? ">=" : "<=", t.limit,
                    t.met() ? "met" : "MISSED");
        missed += !t.met();
    }
    std::printf("\n%d of %zu targets met; benchmark took %.0f s; load average at the end: %s\n",
                static_cast<int>(targets.size()) - missed, targets.size(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), load().c_str());
    return missed == 0 ? 0 : 1;
}
