#include "fault_campaign.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "aiosmtpd.h"
#include "base64.h"
#include "cutting_proxy.h"
#include "dovecot.h"
#include "prefs.h"
#include "testutil.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kAddr = "faults@example.com";
constexpr const char* kForward = "forward@example.org";
constexpr int kRunBoundMs = 60000;  // a run that takes longer is stuck
constexpr int kStopBoundMs = 20000; // the agent ends this soon after SIGTERM
constexpr size_t kMaxViolations = 50;

std::string b64(std::string_view text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

// The "Account" record as the settings tool writes it.
std::string accountRecord(const std::string& server, const CampaignOptions& o) {
    return b64(std::string(kAddr) + ":" + Dovecot::kPassword) + "\t" + server + "\t(default)\t\t" +
           b64(Dovecot::kUser) + "\t" + (o.leave ? "1" : "0") + "\t0\t1\t" + o.type + "\t";
}

// The built agent with its own HOME and its output appended to a file there; ends
// (killed if need be) with the object.
class AgentProcess {
public:
    AgentProcess(const std::string& agent, const std::string& home) {
        // Everything the child needs is made before fork: the campaign has threads.
        std::vector<std::string> env = {"HOME=" + home};
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).rfind("HOME=", 0) != 0) env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string out = home + "/agent.out";
        char* argv[] = {const_cast<char*>(agent.c_str()), nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd >= 0) ::dup2(fd, STDOUT_FILENO);
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        if (pid_ < 0) throw std::runtime_error("fault campaign: fork failed");
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd_ < 0) throw std::runtime_error("fault campaign: pidfd_open failed");
    }
    ~AgentProcess() {
        if (!ended_) {
            signal(SIGKILL);
            ::waitpid(pid_, &status_, 0);
        }
        ::close(pidfd_);
    }
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Waits up to ms for the agent to end; true once it has.
    bool wait(int ms) {
        if (ended_) return true;
        pollfd p{pidfd_, POLLIN, 0};
        if (::poll(&p, 1, std::max(ms, 0)) <= 0) return false;
        ::waitpid(pid_, &status_, 0);
        ended_ = true;
        return true;
    }
    void signal(int sig) {
        if (!ended_) ::kill(pid_, sig);
    }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

enum class Kind { None, MailCut, MailStall, SmtpCut, SmtpStall, SmtpReply, Kill };

struct Plan {
    Kind kind = Kind::None;
    bool clientSide = false; // the offset counts the client's bytes, else the server's
    long offset = 0;
    int times = 1;
    int command = 0;   // SmtpReply: which command of the connection
    std::string reply; // SmtpReply
    int delayMs = 0;   // Kill: after the start; stalls: after the stall began
    bool term = false; // stalls: ended with SIGTERM, else SIGKILL

    std::string describe() const {
        std::ostringstream s;
        const char* side = clientSide ? "client" : "server";
        switch (kind) {
        case Kind::None: s << "no fault"; break;
        case Kind::MailCut: s << "mail cut at " << side << " byte " << offset << " x" << times; break;
        case Kind::SmtpCut: s << "SMTP cut at " << side << " byte " << offset << " x" << times; break;
        case Kind::MailStall:
        case Kind::SmtpStall:
            s << (kind == Kind::MailStall ? "mail" : "SMTP") << " stall at " << side << " byte " << offset << ", then "
              << (term ? "SIGTERM" : "SIGKILL") << " after " << delayMs << " ms";
            break;
        case Kind::SmtpReply: s << "SMTP command " << command << " answered \"" << reply << "\" x" << times; break;
        case Kind::Kill: s << "SIGKILL after " << delayMs << " ms"; break;
        }
        return s.str();
    }
};

const char* const kReplies[] = {"421 4.3.2 Service not available, closing channel", "451 4.3.0 Try again later",
                                "452 4.3.1 Insufficient system storage", "550 5.7.1 Not accepted",
                                "554 5.6.0 Message refused"};

// What a run moves and how long it takes, per message still to forward, as the last
// run that ended by itself showed it; offsets and moments are drawn from the sizes
// these give for the next run, so that most faults fall inside it.
struct Rates {
    double mailClient = 20, mailServer = 0, smtpClient = 0, smtpServer = 100, ms = 30;
};
constexpr double kBaseBytes = 200; // a session's bytes besides its messages'
constexpr double kBaseMs = 20;     // a run's time besides its messages' (a plain run starts in about 10 ms)

class Campaign {
public:
    Campaign(const CampaignOptions& o, Dovecot& box, SmtpSink& sink)
        : o_(o), box_(box), sink_(sink), rng_(o.seed), mail_(o.type == "IMAP" ? box.imapPort() : box.popPort()),
          smtp_(sink.port()) {}

    CampaignResult run() {
        while (r_.interruptions < o_.faults && r_.violations.size() < kMaxViolations) round();
        return r_;
    }

private:
    long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, std::max(lo, hi))(rng_); }
    // A point within a run that has pending_ messages to forward.
    long size(double perMessage, double base) { return uniform(0, static_cast<long>(perMessage * pending_ + base)); }

    void violation(const std::string& what) {
        if (r_.violations.size() >= kMaxViolations) return;
        r_.violations.push_back("seed " + std::to_string(o_.seed) + ", round " + std::to_string(r_.rounds) + ", run " +
                                std::to_string(run_) + " (" + plan_.describe() + "): " + what);
    }

    Plan choose() {
        Plan p;
        p.kind = static_cast<Kind>(uniform(1, 6));
        p.clientSide = uniform(0, 1) == 1;
        p.times = static_cast<int>(uniform(1, 2));
        switch (p.kind) {
        case Kind::MailCut:
        case Kind::MailStall:
            p.offset = size(p.clientSide ? rates_.mailClient : rates_.mailServer, kBaseBytes);
            break;
        case Kind::SmtpCut:
        case Kind::SmtpStall:
            p.offset = size(p.clientSide ? rates_.smtpClient : rates_.smtpServer, kBaseBytes);
            break;
        case Kind::SmtpReply:
            // EHLO, four commands per message, QUIT.
            p.command = static_cast<int>(uniform(1, 4 * pending_ + 2));
            p.reply = kReplies[uniform(0, std::size(kReplies) - 1)];
            break;
        case Kind::Kill: p.delayMs = static_cast<int>(size(rates_.ms, kBaseMs)); break;
        case Kind::None: break;
        }
        if (p.kind == Kind::MailStall || p.kind == Kind::SmtpStall) {
            p.times = 1;
            p.delayMs = static_cast<int>(uniform(0, 30));
            p.term = uniform(0, 2) != 0;
        }
        return p;
    }

    static std::optional<ProxyFault> faultFor(const Plan& p) {
        ProxyFault f;
        f.times = p.times;
        f.action = p.kind == Kind::MailStall || p.kind == Kind::SmtpStall ? ProxyFault::Action::Hold
                                                                          : ProxyFault::Action::Cut;
        if (p.kind == Kind::SmtpReply) {
            f.action = ProxyFault::Action::Reply;
            f.occurrence = p.command;
            f.reply = p.reply;
            return f;
        }
        // An offset of 0 on the server's side would strike on connecting; counted from
        // the client's side it strikes before the first byte the client sends.
        (p.clientSide ? f.clientBytes : f.serverBytes) = std::max(1L, p.offset);
        return f;
    }

    // Starts the agent under the plan and ends it as the plan says. Returns the
    // interruptions that struck.
    int execute(const Plan& p, const std::string& home) {
        bool mailSide = p.kind == Kind::MailCut || p.kind == Kind::MailStall;
        bool smtpSide = p.kind == Kind::SmtpCut || p.kind == Kind::SmtpStall || p.kind == Kind::SmtpReply;
        mail_.setFault(mailSide ? faultFor(p) : std::nullopt);
        smtp_.setFault(smtpSide ? faultFor(p) : std::nullopt);
        int struckBefore = mail_.struck() + smtp_.struck();
        long mc = mail_.clientBytes(), ms = mail_.serverBytes(), sc = smtp_.clientBytes(), ss = smtp_.serverBytes();

        auto start = Clock::now();
        auto elapsedMs = [&] {
            auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            return static_cast<int>(took);
        };
        bool killed = false, stopped = false;
        {
            AgentProcess agent(o_.agent, home);
            bool stall = p.kind == Kind::MailStall || p.kind == Kind::SmtpStall;
            if (p.kind == Kind::Kill) {
                if (!agent.wait(p.delayMs)) {
                    agent.signal(SIGKILL);
                    killed = true;
                }
            } else if (stall) {
                // Wait for the end or the stall, whichever comes first.
                auto stalled = [&] { return mail_.struck() + smtp_.struck() > struckBefore; };
                while (!agent.wait(2) && !stalled() && elapsedMs() < kRunBoundMs) {
                }
                if (!agent.wait(p.delayMs)) {
                    agent.signal(p.term ? SIGTERM : SIGKILL);
                    stopped = true;
                }
            }
            int boundMs = stopped ? (p.term ? kStopBoundMs : kRunBoundMs) : kRunBoundMs - elapsedMs();
            if (!agent.wait(boundMs)) {
                violation(stopped ? "the agent did not end within 20 s of SIGTERM"
                                  : "the run did not end within 60 s");
                agent.signal(SIGKILL);
                agent.wait(kStopBoundMs);
                killed = true;
            }
            int st = agent.status();
            bool sigkilled = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
            bool sentKill = killed || (stopped && !p.term);
            if (!(WIFEXITED(st) && WEXITSTATUS(st) == 0) && !(sentKill && sigkilled))
                violation("the agent ended with status " + std::to_string(st) + "\n" +
                          readFile(home + "/Library/Logs/Tarnwell.log"));
            killed = killed && sigkilled;
        }
        int tookMs = elapsedMs();
        tookMs_ = tookMs;
        mail_.setFault(std::nullopt);
        smtp_.setFault(std::nullopt);

        int struck = mail_.struck() + smtp_.struck() - struckBefore;
        if (p.kind == Kind::MailCut || p.kind == Kind::SmtpCut) r_.cuts += struck;
        if (p.kind == Kind::MailStall || p.kind == Kind::SmtpStall) r_.stalls += struck;
        if (p.kind == Kind::SmtpReply) r_.replies += struck;
        if (p.kind == Kind::Kill && killed) r_.kills += 1;

        if (struck == 0 && !killed && !stopped && smtp_.clientBytes() > sc && pending_ > 0) {
            double n = pending_;
            rates_ = {(mail_.clientBytes() - mc) / n, (mail_.serverBytes() - ms) / n, (smtp_.clientBytes() - sc) / n,
                      (smtp_.serverBytes() - ss) / n, tookMs / n};
        }
        return struck + (killed ? 1 : 0);
    }

    void checkFiles(const std::string& home, const std::string& record) {
        std::string indexPath = home + "/Library/Preferences/com.vexlo.Tarnwell.index";
        if (fileExists(indexPath)) {
            std::string text = readFile(indexPath);
            if (!text.empty() && text.back() != '\n') violation("the index ends inside a line");
            for (const std::string& line : splitLines(text)) {
                if (!line.empty() && line.front() == '[') {
                    Str addr = Base64_Decode_rLen(std::string_view(line).substr(1, line.size() - 2));
                    if (line.back() != ']' || std::string_view(addr.data(), addr.size()) != kAddr)
                        violation("bad index header \"" + line + "\"");
                    continue;
                }
                size_t tab = line.find('\t');
                std::string mark = tab == std::string::npos ? "" : line.substr(tab + 1);
                if (tab == 0 || (mark != "F" && mark != "D")) violation("bad index line \"" + line + "\"");
            }
        }
        prefs::Domain settings(home + "/Library/Preferences/com.vexlo.Tarnwell.plist");
        settings.AppSynchronize();
        if (!settings.LastProblem().empty()) violation("settings unreadable: " + settings.LastProblem());
        auto account = settings.CopyAppValue("Account");
        if (!account || *account != prefs::Value(std::vector<std::string>{record}))
            violation("the Account setting changed");
    }

    // Nothing gone from the mailbox that the SMTP server has not saved; nothing damaged
    // at the SMTP server.
    void checkMail(const std::map<std::string, int>& originals) {
        std::set<std::string> saved;
        for (const ReceivedMail& m : sink_.messages()) {
            if (!originals.count(m.data))
                violation("a damaged message reached the SMTP server (" + std::to_string(m.data.size()) + " bytes)");
            if (m.from != kAddr || m.to != std::vector<std::string>{kForward})
                violation("wrong envelope: " + m.from + " to " + (m.to.empty() ? "" : m.to.front()));
            saved.insert(m.data);
        }
        std::set<std::string> left;
        for (const std::string& t : box_.messages()) left.insert(crlf(t));
        for (const auto& [text, number] : originals)
            if (!left.count(text) && !saved.count(text))
                violation("message " + std::to_string(number) + " was deleted but never accepted");
    }

    int pending(const std::map<std::string, int>& originals) {
        if (!o_.leave) return static_cast<int>(box_.messages().size());
        std::set<std::string> saved;
        for (const ReceivedMail& m : sink_.messages()) saved.insert(m.data);
        return static_cast<int>(
            std::count_if(originals.begin(), originals.end(), [&](const auto& o) { return !saved.count(o.first); }));
    }

    void round() {
        ++r_.rounds;
        box_.clearMailbox();
        sink_.clear();
        std::map<std::string, int> originals; // as the SMTP server saves them, with their number
        long total = 0;
        for (int i = 1; i <= o_.messages; ++i) {
            size_t size = static_cast<size_t>(uniform(200, i % 5 == 0 ? 40000 : 6000));
            std::string subject = "round " + std::to_string(r_.rounds) + " message " + std::to_string(i);
            std::string text = sampleMessage(size, subject);
            box_.addMessage(text);
            originals[crlf(text)] = i;
            total += static_cast<long>(text.size());
        }
        r_.messages += o_.messages;
        if (rates_.mailServer == 0) rates_.mailServer = rates_.smtpClient = static_cast<double>(total) / o_.messages;

        TempDir home;
        std::string record = accountRecord("127.0.0.1:" + std::to_string(mail_.port()), o_);
        {
            prefs::Domain settings(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
            settings.SetAppValue("SMTPHost", "127.0.0.1:" + std::to_string(smtp_.port()));
            settings.SetAppValue("dftFwd", std::string(kForward));
            settings.SetAppValue("Account", std::vector<std::string>{record});
            if (!settings.AppSynchronize()) throw std::runtime_error("fault campaign: cannot write the settings");
        }

        int interruptions = 0;
        const int faultyRuns = 4 * o_.messages + 20;
        bool done = false;
        for (run_ = 1; run_ <= faultyRuns + 3 && !done; ++run_) {
            pending_ = pending(originals);
            plan_ = run_ <= faultyRuns ? choose() : Plan();
            interruptions += execute(plan_, home.path());
            ++r_.runs;
            checkFiles(home.path(), record);
            checkMail(originals);
            done = pending(originals) == 0;
            if (o_.trace)
                *o_.trace << "round " << r_.rounds << " run " << run_ << ": " << plan_.describe() << "; "
                          << tookMs_ << " ms, interruptions " << interruptions << ", at the SMTP server " << sink_.count()
                          << ", in the mailbox " << box_.messages().size() << "\n";
        }
        if (!done) violation("the mailbox was not " + std::string(o_.leave ? "fully forwarded" : "drained"));

        // One more faultless run: it must change nothing that is not owed to an
        // interruption (a message forwarded but not yet recorded goes again).
        plan_ = Plan();
        execute(plan_, home.path());
        ++r_.runs;
        checkFiles(home.path(), record);
        checkMail(originals);

        std::map<std::string, int> copies;
        for (const ReceivedMail& m : sink_.messages()) ++copies[m.data];
        int lost = 0, extra = 0;
        for (const auto& [text, number] : originals) {
            int n = copies.count(text) ? copies[text] : 0;
            if (n == 0) ++lost;
            if (n > 1) extra += n - 1;
        }
        r_.lost += lost;
        r_.duplicates += extra;
        r_.interruptions += interruptions;
        if (lost > 0) violation(std::to_string(lost) + " message(s) lost");
        if (extra > interruptions)
            violation(std::to_string(extra) + " extra copies after " + std::to_string(interruptions) +
                      " interruptions");
    }

    const CampaignOptions& o_;
    Dovecot& box_;
    SmtpSink& sink_;
    std::mt19937_64 rng_;
    CuttingProxy mail_;
    CuttingProxy smtp_;
    CampaignResult r_;
    Rates rates_;
    int pending_ = 0; // messages still to forward (left) or to delete at the start of a run
    int run_ = 0;
    Plan plan_;
    int tookMs_ = 0; // of the last run
};

} // namespace

uint64_t faultSeed(uint64_t fallback) {
    const char* text = std::getenv(kFaultSeedVariable);
    if (!text || !*text) return fallback;
    return std::strtoull(text, nullptr, 10);
}

CampaignResult runCampaign(const CampaignOptions& options, Dovecot& box, SmtpSink& sink) {
    return Campaign(options, box, sink).run();
}
