#include "startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "account_record.h"
#include "base64.h"
#include "log.h"
#include "mailindex.h"
#include "ownfile.h"
#include "rundriver.h"
#include "services.h"
#include "utf8.h"

namespace {

// SIGINFO does not exist on Linux; SIGUSR2 stands in for the status request there.
#ifdef SIGINFO
constexpr int kStatusSignal = SIGINFO;
#else
constexpr int kStatusSignal = SIGUSR2;
#endif

void onStop(int) { globals.stopRequested = 1; }
void onStatus(int) { globals.statusRequested = 1; }
void onIgnored(int) {}

void installHandler(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a signal should cut a network wait short so the flag is seen.
    sa.sa_flags = 0;
    sigaction(sig, &sa, nullptr);
}

Str homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return ToStr(home);
    const passwd* pw = ::getpwuid(::getuid());
    return ToStr(pw && pw->pw_dir ? pw->pw_dir : ".");
}

// Creates each missing folder of path with mode 0700 (the files below hold mail
// metadata and credentials).
void makeFolders(const Str& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            Str part = Left(View(path), static_cast<long>(at));
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
        }
    }
}

bool isLink(const Str& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A link where a log should be may point at any file of the user's; our lines (perhaps
// credentials) must not land there, nor its content be cut. Named once, then left alone.
void reportLinkedLog(const char* what, const Str& path) {
    stdLog("The %s \"%s\" is a symbolic link, not a file of Tarnwell's; it is left alone and not written.", what,
           path.c_str());
}

// When the log cannot be opened, standard error stays where it was and says why there.
void reopenStderr(const Str& logPath) {
    int fd = openOwnFile(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        if (errno == ELOOP)
            reportLinkedLog("log", logPath);
        else
            stdLog("The log \"%s\" cannot be opened (%s).", logPath.c_str(), std::strerror(errno));
        return;
    }
    std::fflush(stderr);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
}

// The run lock: an exclusive lock on a file of our own beside the index, held until
// the agent ends (the kernel drops it with the descriptor, after a crash too), so that
// two agents of one user never forward the same mail.
class RunLock {
public:
    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    // 0 with the lock held, else the error number: EWOULDBLOCK while another agent holds it.
    int take(const Str& path) {
        fd_ = openOwnFile(path.c_str(), O_RDONLY | O_CREAT);
        if (fd_ < 0) return errno;
        int rc;
        while ((rc = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        return rc == 0 ? 0 : errno;
    }

private:
    int fd_ = -1;
};

// A run that processes no account still tells its reader that it started and ended.
// With a failure, the alert is logged as a fatal one and the summary names it.
void runWithoutAccounts(const Str& headline, const Str& explanation) {
    mt_globals = MtGlobals();
    globals.runActive = 1;
    updateSummary(View(NewStr("Tarnwell run started: ", getDateTimeStr())));
    if (!headline.empty()) {
        globals.acctErrorCount = -1;
        ShowAlert("Stop", View(headline), View(explanation));
        mt_globals.criticalError = 1;
    }
    ResetStart();
}

// Why "-r" must not run now, or null. It drops the section of every account missing
// from the table, so a table not read from an intact settings file would cost every
// account its index, and the next run would forward all their mail again.
const char* reorgHazard(const prefs::Domain& domain) {
    if (!domain.LastProblem().empty()) return "the settings file could not be read whole";
    struct stat st {};
    if (::stat(domain.Path().c_str(), &st) != 0) return "there is no settings file";
    return nullptr;
}

} // namespace

bool initTls() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    for (int tries = 0; RAND_status() != 1 && tries < 16; ++tries) RAND_load_file("/dev/random", 1024);
    globals.tlsContext.reset(SSL_CTX_new(TLS_client_method()));
    if (!globals.tlsContext) {
        stdLog("SSL_CTX_new returned %lu", ERR_get_error());
        return false;
    }
    // Servers are verified against the system trust store (SSL_CERT_FILE/SSL_CERT_DIR apply).
    SSL_CTX_set_default_verify_paths(globals.tlsContext.get());
    SSL_CTX_set_verify(globals.tlsContext.get(), SSL_VERIFY_PEER, nullptr);
    return true;
}

namespace {

// Decoded text converted from UTF-8 to US-ASCII; nullopt when it is not UTF-8.
std::optional<Str> asciiText(std::string_view utf8) {
    if (utf8.empty()) return Str();
    return Convert_UTF8_To_Charset(utf8, "us-ascii");
}

// Base64 text decoded and converted as above.
std::optional<Str> decodeText(std::string_view encoded) {
    return asciiText(View(Base64_Decode_rLen(encoded)));
}

// A Base64 setting decoded; one that is not UTF-8 is named in the log and read as empty.
Str decodeSetting(const char* name, std::string_view encoded) {
    std::optional<Str> text = decodeText(encoded);
    if (text) return std::move(*text);
    stdLog("Setting \"%s\" is not valid UTF-8 text and was ignored.", name);
    return Str();
}

// Why the agent cannot use a stored text, or null when it can: it converts every value
// into a buffer of 512 bytes with the ASCII encoding.
const char* unusable(std::string_view text) {
    if (text.size() > kMaxPrefValue) return "is longer than 511 characters";
    for (unsigned char c : text)
        if (c >= 0x80) return "holds characters other than ASCII";
    return nullptr;
}

// The stored string of a key: for an array key (index 0 or more) its element index,
// where a plain string stands for element 0; for a single-value key (index -1) its
// string. Nullopt when absent; a value of the other kind is named in the log.
std::optional<std::string> storedText(const prefs::Domain& domain, std::string_view name, int index) {
    std::optional<prefs::Value> value = domain.CopyAppValue(name);
    if (!value) return std::nullopt;
    if (auto* text = std::get_if<std::string>(&*value)) {
        if (index > 0) return std::nullopt;
        return std::move(*text);
    }
    auto& list = std::get<std::vector<std::string>>(*value);
    if (index < 0) {
        Str key = ToStr(name);
        stdLog("Setting \"%s\" is a list where one value belongs and was ignored.", key.c_str());
        return std::nullopt;
    }
    if (static_cast<size_t>(index) >= list.size()) return std::nullopt;
    return std::move(list[static_cast<size_t>(index)]);
}

} // namespace

Str getPrefsVal(const prefs::Domain& domain, std::string_view name, int index, std::string_view dflt) {
    std::optional<std::string> text = storedText(domain, name, index);
    if (!text || text->empty()) return ToStr(dflt);
    if (const char* why = unusable(*text)) {
        Str key = ToStr(name);
        if (index >= 0) AppendStr(key, "[" + std::to_string(index) + "]");
        stdLog("Setting \"%s\" %s and was ignored.", key.c_str(), why);
        return ToStr(dflt);
    }
    return ToStr(*text);
}

namespace {

// "user:********": the trace shows who logs in, never the password.
Str maskedLogin(std::string_view login) {
    if (login.empty()) return Str();
    const size_t colon = login.find(':');
    return colon == std::string_view::npos ? ToStr("********") : NewStr(login.substr(0, colon + 1), "********");
}

// An account record with field 1 (Base64 of address and password) hidden.
Str maskedRecord(std::string_view record) {
    const size_t tab = record.find('\t');
    if (tab == 0 || record.empty()) return ToStr(record);
    return NewStr("********", tab == std::string_view::npos ? std::string_view() : record.substr(tab));
}

bool runnable(const AccountRow& row) { return !row.addr.empty() && row.problem.empty() && StrBool(View(row.enable)); }

// Accounts of one address would share one section of the mail index (sections are
// found without regard to case): each run would forward the other's mail again, or
// never. Only the first such account that would run keeps the address.
void markDuplicates() {
    for (size_t i = 0; i < globals.accounts.size(); ++i) {
        AccountRow& row = globals.accounts[i];
        if (!runnable(row)) continue;
        for (size_t j = 0; j < i; ++j) {
            if (runnable(globals.accounts[j]) && strcmpi(View(globals.accounts[j].addr), View(row.addr)) == 0) {
                row.problem = ToStr("its address is the same as account " + std::to_string(j + 1) +
                                    "'s, and both would share one record of forwarded mail");
                break;
            }
        }
    }
}

// A service address: its default unless set; a value with a line break would split the
// requests built on it, so it is ignored.
Str serviceSetting(const prefs::Domain& domain, const char* name, std::string_view dflt) {
    Str value = getPrefsVal(domain, name, kOneValue, dflt);
    if (value.find_first_of("\r\n") != Str::npos) {
        stdLog("Setting \"%s\" holds a line break and was ignored.", name);
        value = ToStr(dflt);
    }
    debugLog("%s: %s", name, value.c_str());
    return value;
}

} // namespace

AccountRow parseAccountRecord(std::string_view record) {
    DebugTag tag("Startup.parseAccountRecord");
    AccountRow row;
    const account::Record stored = account::Decode(record);
    // A ":" cannot stand inside a UTF-8 sequence, so converting address and password
    // apart is converting the credentials whole.
    std::optional<Str> address = asciiText(stored.address), password = asciiText(stored.password);
    const bool credentials = address && password;
    if (credentials) {
        row.addr = std::move(*address);
        // The agent's password ends at a further ":".
        row.pass = NthField(View(*password), ":", 1);
    }
    row.pop = ToStr(stored.server);
    row.fwd = ToStr(stored.forward);
    if (row.fwd.empty() || strcmpi(View(row.fwd), "(default)") == 0) row.fwd = globals.dftFwd;
    std::optional<Str> user = asciiText(stored.login);
    if (user) row.user = std::move(*user);
    if (row.user.empty()) row.user = NthField(View(row.addr), "@", 1);
    row.leave = ToStr(stored.leave);
    row.secure = ToStr(stored.secure);
    row.enable = ToStr(stored.enable);
    row.type = ToStr(stored.type);
    // Only an empty stored address ends the list; any other record the agent cannot
    // use is skipped with its reason, so the accounts after it still run.
    if (credentials && row.addr.empty()) return row;
    if (const char* why = unusable(record))
        row.problem = NewStr("its record ", why);
    else if (!credentials)
        row.problem = ToStr("its address and password are not valid UTF-8 text");
    else if (!user)
        row.problem = ToStr("its login name is not valid UTF-8 text");
    if (row.enable.empty()) row.enable = ToStr("-1");
    if (row.type.empty()) row.type = ToStr(services::TypeOfServer(View(row.pop)));
    return row;
}

void readSettings(prefs::Domain& domain) {
    DebugTag tag("Startup.readSettings");
    domain.AppSynchronize();
    if (!domain.LastProblem().empty()) stdLog("%s", domain.LastProblem().c_str());

    globals.smtpHost = getPrefsVal(domain, "SMTPHost", kOneValue, "");
    debugLog("smtpHost: %s", globals.smtpHost.c_str());
    Str secure = getPrefsVal(domain, "SMTPSecure", kOneValue, "0");
    globals.smtpSecure = StrBool(View(secure));
    debugLog("smtpSecure: %s %i", secure.c_str(), globals.smtpSecure);
    globals.smtpAuth = getPrefsVal(domain, "SMTPAuth", kOneValue, "0");
    debugLog("smtpAuth: %s", globals.smtpAuth.c_str());
    globals.smtpLogin = decodeSetting("SMTPLogin", View(getPrefsVal(domain, "SMTPLogin", kOneValue, "")));
    debugLog("smtpLogin: %s", maskedLogin(View(globals.smtpLogin)).c_str());
    Str vfy = getPrefsVal(domain, "SMTPVfy", kOneValue, "0");
    globals.smtpVfy = StrBool(View(vfy));
    debugLog("smtpVfy: %s %i", vfy.c_str(), globals.smtpVfy);
    globals.smtpFrom = decodeSetting("SMTPFrom", View(getPrefsVal(domain, "SMTPFrom", kOneValue, "")));
    debugLog("smtpFrom: %s", globals.smtpFrom.c_str());
    globals.dftFwd = getPrefsVal(domain, "dftFwd", kOneValue, "");
    debugLog("dftFwd: %s", globals.dftFwd.c_str());
    globals.autoFwd = getPrefsVal(domain, "autoFwd", kOneValue, "0");
    debugLog("autoFwd: %s", globals.autoFwd.c_str());
    globals.autoTime = getPrefsVal(domain, "autoTime", kOneValue, "15");
    debugLog("autoTime: %s", globals.autoTime.c_str());
    globals.hotmailStartUrl = serviceSetting(domain, "HotmailStartURL", kHotmailStartUrl);
    globals.hotmailLoginHost = serviceSetting(domain, "HotmailLoginHost", kHotmailLoginHost);
    globals.yahooStartUrl = serviceSetting(domain, "YahooStartURL", kYahooStartUrl);
    globals.yahooLoginHost = serviceSetting(domain, "YahooLoginHost", kYahooLoginHost);

    // Records are taken as stored, usable or not: parseAccountRecord tells an unusable
    // account (skipped) from the end of the list.
    for (int i = 0; i < kMaxAccounts; ++i) {
        std::optional<std::string> stored = storedText(domain, "Account", i);
        const std::string_view record = stored ? std::string_view(*stored) : std::string_view();
        debugLog("Account%i: %s", i, maskedRecord(record).c_str());
        globals.accounts[static_cast<size_t>(i)] = parseAccountRecord(record);
    }
    markDuplicates();
}

void releaseSettings() {
    for (Str* s : {&globals.smtpHost, &globals.smtpAuth, &globals.smtpLogin, &globals.smtpFrom, &globals.dftFwd,
                   &globals.autoFwd, &globals.autoTime, &globals.hotmailStartUrl, &globals.hotmailLoginHost, &globals.yahooStartUrl, &globals.yahooLoginHost, &globals.indexPath, &globals.lastStatusAccount,
                   &globals.lastStatusMessage})
        Str().swap(*s);
    // Swapped, not assigned: assigning an empty string keeps the old block.
    for (AccountRow& row : globals.accounts) {
        AccountRow empty;
        std::swap(row, empty);
    }
    globals.current = nullptr;
}

namespace {

// Takes the run lock, then reads the settings and runs; the lock ends on return.
void lockedRun(bool reorg) {
    RunLock lock;
    const Str lockPath = NewStr(View(globals.indexPath), ".lock");
    const int err = lock.take(lockPath);
    if (err == EWOULDBLOCK) {
        stdLog("Another Tarnwell Agent is already forwarding mail for this user; this one ends without touching "
               "any account.");
        runWithoutAccounts(Str(), Str());
        return;
    }
    if (err != 0) {
        runWithoutAccounts(ToStr("Mail index cannot be locked."),
                           NewStr("The lock file \"", View(lockPath), "\" cannot be used (", std::strerror(err),
                                  "), so no account was processed: a second agent could forward the same mail."));
        return;
    }

    const char* hazard = nullptr;
    {
        prefs::Domain domain(prefs::Domain::DefaultPath(kAppId));
        readSettings(domain);
        hazard = reorgHazard(domain);
    }
    if (reorg && hazard) {
        stdLog("Mail index not reorganised, every section is kept: %s.", hazard);
    } else if (reorg) {
        Owned<mailIndex> ix = mailIndex_construct();
        ReorgIndex(*ix, View(globals.indexPath));
    }

    globals.stopRequested = 0;
    globals.runActive = 1;
    if (CkStopReq())
        updateStatus("None", "Stopped");
    else
        MainThread_Run();
}

} // namespace

int agentMain(int argc, char** argv) {
    installHandler(SIGINT, onStop);
    installHandler(SIGTERM, onStop);
    installHandler(kStatusSignal, onStatus);
    installHandler(SIGUSR1, onIgnored);
    // A peer that closes its end must end one operation, never the process.
    std::signal(SIGPIPE, SIG_IGN);
    globals.stopRequested = 0;
    globals.statusRequested = 0;
    releaseSettings();

    bool reorg = false;
    int opt;
    opterr = 0;
    while ((opt = ::getopt(argc, argv, "dr")) != -1) {
        if (opt == 'd') debugReq = 1;
        if (opt == 'r') reorg = true;
    }

    Str home = homeFolder();
    Str logs = NewStr(home, "/Library/Logs");
    Str preferences = NewStr(home, "/Library/Preferences");
    makeFolders(logs);
    makeFolders(preferences);

    Str tracePath = NewStr(logs, "/Tarnwell Trace.log");
    const bool traceIsLink = debugReq && isLink(tracePath);
    if (debugReq && !traceIsLink) {
        debugLogSetPath(std::string(tracePath.c_str()));
        resizeLog(View(tracePath), 5120000);
        debugLog("%s %s", "Tarnwell", kVersion);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Str logPath = NewStr(logs, "/Tarnwell.log");
    debugLog("Log path is: %s", logPath.c_str());
    reopenStderr(logPath);
    resizeLog(View(logPath), 131072);
    if (traceIsLink) reportLinkedLog("trace log", tracePath);
    Str errorPath = NewStr(logs, "/Tarnwell Error.log");
    if (isLink(errorPath))
        reportLinkedLog("error log", errorPath);
    else
        errorLogSetPath(View(errorPath));

    updateStatus("None", "Starting up");

    globals.indexPath = NewStr(preferences, "/", kAppId, ".index");
    debugLog("Index path is: %s", globals.indexPath.c_str());
    lockedRun(reorg);

    if (debugReq) {
        releaseSettings();
        Str().swap(home);
        Str().swap(logs);
        Str().swap(preferences);
        Str().swap(logPath);
        Str().swap(tracePath);
        Str().swap(errorPath);
        errorLogSetPath("");
        mem_audit();
        // The audit ends tracing: what static destructors release after main is not ours
        // to report, and the trace file's path is gone by then.
        debugReq = 0;
    }
    return 0;
}
