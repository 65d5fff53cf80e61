#include "dovecot.h"


#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scripted_server.h"
#include "testca.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kStartLimit = std::chrono::seconds(15);
// Processes still starting up can hold a graceful shutdown for seconds; the instance
// is thrown away anyway, so what has not ended by then is killed.
constexpr auto kStopGrace = std::chrono::milliseconds(300);

// True once the server on port has sent its greeting (its login and auth processes
// are up): a server stopped before that may take seconds to shut down.
bool greets(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        pollfd p{fd, POLLIN, 0};
        char c;
        ok = ::poll(&p, 1, 2000) > 0 && ::recv(fd, &c, 1, 0) == 1;
    }
    ::close(fd);
    return ok;
}

void chownTree(const std::string& path, uid_t uid, gid_t gid) {
    if (::lchown(path.c_str(), uid, gid) != 0) throw std::runtime_error("chown failed: " + path);
    if (!fs::is_directory(path)) return;
    for (const auto& entry : fs::recursive_directory_iterator(path))
        if (::lchown(entry.path().c_str(), uid, gid) != 0) throw std::runtime_error("chown failed");
}

std::string userName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    if (!pw) throw std::runtime_error("no name for uid " + std::to_string(uid));
    return pw->pw_name;
}

std::string groupName(gid_t gid) {
    const group* gr = ::getgrgid(gid);
    if (!gr) throw std::runtime_error("no name for gid " + std::to_string(gid));
    return gr->gr_name;
}

// Maildir file names start with the delivery time; ours count up from a fixed one.
unsigned long fileSequence(const fs::path& p) { return std::stoul(p.filename().string()); }

} // namespace

std::string crlf(const std::string& lfText) {
    std::string out;
    out.reserve(lfText.size() + lfText.size() / 32);
    for (char c : lfText) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

Dovecot::Dovecot() {
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) throw std::runtime_error("Dovecot tests need the user nobody when run as root");
        mailUid_ = nobody->pw_uid;
        mailGid_ = nobody->pw_gid;
    } else {
        mailUid_ = ::getuid();
        mailGid_ = ::getgid();
    }
    // The mail processes run as mailUid_ and must reach the maildir below our folder.
    ::chmod(dir_.path().c_str(), 0755);
    maildir_ = dir_.file("home/Maildir");
    for (const char* sub : {"new", "cur", "tmp"}) fs::create_directories(maildir_ + "/" + sub);
    chownTree(dir_.file("home"), mailUid_, mailGid_);
    writeFile(dir_.file("passwd"), std::string(kUser) + ":{PLAIN}" + kPassword + ":" + std::to_string(mailUid_) + ":" +
                                       std::to_string(mailGid_) + "::" + dir_.file("home") + "::\n");
    for (int attempt = 0; attempt < 3; ++attempt)
        if (start()) return;
    throw std::runtime_error("Dovecot did not start:\n" + log());
}

Dovecot::~Dovecot() { stop(); }

void Dovecot::writeConfig() {
    const TestCerts& certs = testCerts();
    std::string d = dir_.path();
    std::string conf = "base_dir = " + d + "/run\n"
                       "state_dir = " + d + "/state\n"
                       "log_path = " + d + "/dovecot.log\n"
                       "protocols = pop3 imap\n"
                       "listen = 127.0.0.1\n"
                       "ssl = yes\n"
                       "ssl_cert = <" + certs.serverCert + "\n"
                       "ssl_key = <" + certs.serverKey + "\n"
                       "disable_plaintext_auth = no\n"
                       "auth_mechanisms = plain login\n"
                       "auth_failure_delay = 0\n"
                       "first_valid_uid = 1\n"
                       "first_valid_gid = 1\n"
                       "mail_location = maildir:" + maildir_ + "\n"
                       "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + d + "/passwd\n}\n"
                       "userdb {\n  driver = passwd-file\n  args = " + d + "/passwd\n}\n"
                       // Without the penalty socket, a failed login does not slow down the next tests.
                       "service anvil {\n  chroot =\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n"
                       "service pop3-login {\n  chroot =\n"
                       "  inet_listener pop3 {\n    port = " + std::to_string(ports_[0]) + "\n  }\n"
                       "  inet_listener pop3s {\n    port = " + std::to_string(ports_[1]) + "\n    ssl = yes\n  }\n}\n"
                       "service imap-login {\n  chroot =\n"
                       "  inet_listener imap {\n    port = " + std::to_string(ports_[2]) + "\n  }\n"
                       "  inet_listener imaps {\n    port = " + std::to_string(ports_[3]) + "\n    ssl = yes\n  }\n}\n";
    if (::geteuid() != 0) {
        // Unprivileged, every process must run as ourselves.
        std::string user = userName(::geteuid()), group = groupName(::getegid());
        conf += "default_internal_user = " + user + "\ndefault_internal_group = " + group +
                "\ndefault_login_user = " + user + "\nservice auth-worker {\n  user = " + user + "\n}\n";
    }
    writeFile(dir_.file("dovecot.conf"), conf);
}

bool Dovecot::start() {
    for (int& port : ports_) port = unusedPort();
    writeConfig();
    std::string conf = dir_.file("dovecot.conf"), errors = dir_.file("dovecot.stderr");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // A session of its own, so that stopping reaches every process it forks.
        ::setsid();
        int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execlp("dovecot", "dovecot", "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false; // most likely a port taken meanwhile; log() tells
        }
        if (greets(popPort()) && greets(imapPort())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("Dovecot did not accept connections in time:\n" + log());
}

void Dovecot::stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    siginfo_t info{};
    // Watched without reaping, so the group stays ours until the leftovers are killed.
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(-pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

void Dovecot::addMessage(const std::string& text) {
    TempDir aside;
    writeFile(aside.file("message"), text);
    addMessageFile(aside.file("message"));
}

void Dovecot::addMessageFile(const std::string& path) {
    ++added_;
    std::string name = std::to_string(1000000000 + added_) + ".M" + std::to_string(added_) + "P" +
                       std::to_string(::getpid()) + ".tarnwell";
    // Copied aside and moved in, as a delivery would, so Dovecot never sees half a file.
    std::string tmp = maildir_ + "/tmp/" + name;
    fs::copy_file(path, tmp);
    chownTree(tmp, mailUid_, mailGid_);
    fs::rename(tmp, maildir_ + "/new/" + name);
}

std::vector<std::string> Dovecot::messages() const {
    // A session that opens the mailbox renames its files from new/ to cur/, also after
    // its client was killed; a listing taken during such a move is taken again.
    for (int attempt = 0;; ++attempt) {
        std::vector<fs::path> files;
        for (const char* sub : {"new", "cur"})
            for (const auto& entry : fs::directory_iterator(maildir_ + "/" + sub)) files.push_back(entry.path());
        std::sort(files.begin(), files.end(),
                  [](const fs::path& a, const fs::path& b) { return fileSequence(a) < fileSequence(b); });
        std::vector<std::string> texts;
        bool moved = false;
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            if (!in) {
                moved = true;
                break;
            }
            texts.push_back(std::string(std::istreambuf_iterator<char>(in), {}));
        }
        if (!moved || attempt == 100) return texts;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Dovecot::clearMailbox() {
    for (const char* sub : {"new", "cur"})
        for (const auto& entry : fs::directory_iterator(maildir_ + "/" + sub)) fs::remove(entry.path());
}

std::string Dovecot::log() const {
    std::string text;
    for (const char* name : {"dovecot.stderr", "dovecot.log"})
        if (fileExists(dir_.file(name))) text += readFile(dir_.file(name));
    return text;
}

PlainHidingRelay::PlainHidingRelay(int serverPort) : serverPort_(serverPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 4) != 0 ||
        ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("relay: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

PlainHidingRelay::~PlainHidingRelay() {
    (void)!::write(stopPipe_[1], "x", 1);
    thread_.join();
    for (int fd : {listener_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
}

std::string PlainHidingRelay::clientBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fromClients_;
}

void PlainHidingRelay::run() {
    auto hidePlain = [](std::string line) {
        if (line.rfind("* CAPABILITY ", 0) != 0 && line.rfind("* OK [CAPABILITY ", 0) != 0) return line;
        for (size_t at; (at = line.find(" AUTH=PLAIN")) != std::string::npos;) line.erase(at, 11);
        return line;
    };
    while (true) {
        pollfd wait[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(wait, 2, -1) < 0 && errno != EINTR) return;
        if (wait[1].revents) return;
        if (!wait[0].revents) continue;
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(serverPort_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool open = client >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        std::string fromServer; // an incomplete line, held until its end arrives
        while (open) {
            pollfd p[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(p, 3, -1) < 0 && errno != EINTR) break;
            if (p[2].revents) break;
            char buf[16384];
            if (p[0].revents) {
                ssize_t n = ::recv(client, buf, sizeof buf, 0);
                open = n > 0 && ::send(server, buf, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
                if (open) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    fromClients_.append(buf, static_cast<size_t>(n));
                }
            }
            if (open && p[1].revents) {
                ssize_t n = ::recv(server, buf, sizeof buf, 0);
                open = n > 0;
                if (open) fromServer.append(buf, static_cast<size_t>(n));
                std::string out;
                for (size_t end; (end = fromServer.find("\r\n")) != std::string::npos;) {
                    out += hidePlain(fromServer.substr(0, end + 2));
                    fromServer.erase(0, end + 2);
                }
                if (!out.empty() && ::send(client, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                    open = false;
            }
        }
        if (client >= 0) ::close(client);
        ::close(server);
    }
}

std::string sampleMessage(size_t size, const std::string& subject) {
    std::string text = "From: sender@example.org\nTo: tester@example.org\nSubject: " + subject + "\n\n";
    static const char* const special[] = {".", "..", ".leading dot", "..two dots", "+OK not a reply",
                                          "A0005 OK not a tag", ")", ""};
    for (unsigned i = 0; text.size() < size; ++i) {
        if (i % 7 == 3) {
            text += special[(i / 7) % std::size(special)];
        } else {
            size_t length = 1 + (i * 37) % 190;
            for (size_t k = 0; k < length; ++k) text += static_cast<char>('a' + (i + k) % 26);
        }
        text += '\n';
    }
    return text;
}
