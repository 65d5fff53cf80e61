#include "cutting_proxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

struct CuttingProxy::Conn {
    int client = -1;
    int server = -1;
    std::optional<ProxyFault> fault; // cleared once it struck or may no longer strike
    bool armed = false;
    int matches = 0;       // occurrences of the trigger text (Reply: matching commands) so far
    long serverLeft = -1;  // bytes the server may still send once armed; -1: not counted
    long clientLeft = -1;  // the same for the client
    bool holding = false;  // struck with Hold: the client is drained, nothing passes
    bool closed = false;
    std::string tail;      // the client's last bytes, for a trigger split across reads
    std::string line;      // Reply: the client's command line not yet complete
    // Reply: server replies still to come (the greeting first) and, when DATA is among
    // them, its place in that order (0: none). A pipelining client sends DATA behind
    // other commands, so the reply to DATA is found by counting.
    int unanswered = 1;
    int dataReply = 0;
    bool inData = false;    // Reply: message content is passing
    std::string serverLine; // Reply: the server's line not yet complete

    ~Conn() {
        if (client >= 0) ::close(client);
        if (server >= 0) ::close(server);
    }
};

namespace {

bool sendAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int connectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

} // namespace

CuttingProxy::CuttingProxy(int serverPort, std::optional<ProxyFault> fault) : serverPort_(serverPort) {
    setFault(std::move(fault));
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("cutting proxy: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

CuttingProxy::~CuttingProxy() {
    (void)!::write(stopPipe_[1], "x", 1);
    thread_.join();
    for (int fd : {listener_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
}

void CuttingProxy::setFault(std::optional<ProxyFault> fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = std::move(fault);
    left_ = fault_ ? fault_->times : 0;
}

int CuttingProxy::struck() {
    std::lock_guard<std::mutex> lock(mutex_);
    return struck_;
}

bool CuttingProxy::waitStruck(int count, int timeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(timeoutSeconds), [&] { return struck_ >= count; });
}

int CuttingProxy::connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

long CuttingProxy::clientBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clientBytes_;
}

long CuttingProxy::serverBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return serverBytes_;
}

void CuttingProxy::count(long& total, ssize_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (n > 0) total += n;
}

void CuttingProxy::strike(Conn& c) {
    ProxyFault::Action action = c.fault->action;
    c.fault.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++struck_;
    }
    cv_.notify_all();
    if (action == ProxyFault::Action::Hold) c.holding = true;
    if (action == ProxyFault::Action::Cut) c.closed = true;
}

// Whether a connection's fault may still strike; a fault whose budget other
// connections used up is dropped, and its connection relays faithfully.
bool CuttingProxy::claim() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (left_ == 0) return false;
    if (left_ > 0) --left_;
    return true;
}

void CuttingProxy::arm(Conn& c) {
    c.armed = true;
    if (c.fault->serverBytes > 0) c.serverLeft = c.fault->serverBytes;
    if (c.fault->clientBytes > 0) c.clientLeft = c.fault->clientBytes;
}

bool CuttingProxy::fromClient(Conn& c) {
    char buf[16384];
    ssize_t n = ::recv(c.client, buf, sizeof buf, 0);
    count(clientBytes_, n);
    if (n <= 0) return false;
    if (c.holding) return true; // drained and dropped
    std::string_view chunk(buf, static_cast<size_t>(n));
    if (c.fault && c.fault->action == ProxyFault::Action::Reply) return answerCommands(c, chunk);
    if (c.fault && !c.armed) {
        const std::string& text = c.fault->clientText;
        std::string seen = c.tail + std::string(chunk);
        // The tail is shorter than the text, so every match found here is a new one.
        size_t at = seen.find(text);
        while (at != std::string::npos && ++c.matches < c.fault->occurrence) at = seen.find(text, at + 1);
        if (at == std::string::npos) {
            c.tail = seen.substr(seen.size() - std::min(seen.size(), text.size() - 1));
        } else if (c.fault->serverBytes > 0 || c.fault->clientBytes > 0) {
            // The trigger passes; the client's count starts after it.
            arm(c);
            size_t end = at + text.size() - c.tail.size();
            if (!sendAll(c.server, chunk.data(), end)) return false;
            chunk.remove_prefix(end);
        } else if (claim()) {
            // The trigger and what follows it are withheld from the server.
            size_t keep = at > c.tail.size() ? at - c.tail.size() : 0;
            if (keep > 0 && !sendAll(c.server, chunk.data(), keep)) return false;
            strike(c);
            return !c.closed;
        } else {
            c.fault.reset();
        }
    }
    return passClient(c, chunk);
}

// Passes the client's bytes to the server, up to where an armed client count ends.
bool CuttingProxy::passClient(Conn& c, std::string_view chunk) {
    if (c.fault && c.armed && c.clientLeft >= 0 && static_cast<long>(chunk.size()) >= c.clientLeft) {
        if (claim()) {
            if (!sendAll(c.server, chunk.data(), static_cast<size_t>(c.clientLeft))) return false;
            strike(c);
            return !c.closed;
        }
        c.fault.reset();
    } else if (c.fault && c.armed && c.clientLeft >= 0) {
        c.clientLeft -= static_cast<long>(chunk.size());
    }
    return sendAll(c.server, chunk.data(), chunk.size());
}

// Takes the client's bytes line by line while a Reply fault waits, so that the chosen
// command can be kept from the server whole; a partial line waits for its end.
bool CuttingProxy::answerCommands(Conn& c, std::string_view chunk) {
    c.line.append(chunk);
    size_t start = 0, end;
    while (c.fault && (end = c.line.find('\n', start)) != std::string::npos) {
        std::string_view line(c.line.data() + start, end + 1 - start);
        start = end + 1;
        std::string_view bare = line.substr(0, line.find_first_of("\r\n"));
        bool command = !c.inData || bare == ".";
        bool endOfData = c.inData && bare == ".";
        if (endOfData) c.inData = false;
        if (command && bare.find(c.fault->clientText) != std::string_view::npos &&
            ++c.matches == c.fault->occurrence) {
            if (claim()) {
                std::string reply = c.fault->reply + "\r\n";
                if (!sendAll(c.client, reply.data(), reply.size())) return false;
                strike(c);
                // The server never saw the end of the message and is still inside it, so
                // the session cannot go on: the refusal comes with a hang-up, and the
                // message was not delivered.
                if (endOfData) c.closed = true;
                continue; // kept from the server
            }
            c.fault.reset();
        }
        if (command) ++c.unanswered;
        if (command && bare.size() == 4 && strncasecmp(bare.data(), "DATA", 4) == 0) c.dataReply = c.unanswered;
        if (!sendAll(c.server, line.data(), line.size())) return false;
    }
    std::string rest = c.line.substr(start);
    c.line.clear();
    if (c.fault) {
        c.line = std::move(rest);
        return true;
    }
    return rest.empty() || sendAll(c.server, rest.data(), rest.size());
}

bool CuttingProxy::fromServer(Conn& c) {
    char buf[16384];
    ssize_t n = ::recv(c.server, buf, sizeof buf, 0);
    count(serverBytes_, n);
    if (n <= 0) return false;
    size_t pass = static_cast<size_t>(n);
    if (c.fault && c.fault->action == ProxyFault::Action::Reply) {
        // Content follows only when the server takes DATA.
        c.serverLine.append(buf, pass);
        size_t start = 0, end;
        while ((end = c.serverLine.find('\n', start)) != std::string::npos) {
            std::string_view line(c.serverLine.data() + start, end - start);
            start = end + 1;
            if (line.size() >= 4 && line[3] == '-') continue; // not the reply's last line
            --c.unanswered;
            if (c.dataReply > 0 && --c.dataReply == 0) c.inData = line.rfind("354", 0) == 0;
        }
        c.serverLine.erase(0, start);
    }
    bool strikes = false;
    if (c.fault && c.armed && c.serverLeft >= 0 && static_cast<long>(pass) >= c.serverLeft) {
        if (claim()) {
            pass = static_cast<size_t>(c.serverLeft);
            strikes = true;
        } else {
            c.fault.reset();
        }
    } else if (c.fault && c.armed && c.serverLeft >= 0) {
        c.serverLeft -= static_cast<long>(pass);
    }
    if (pass > 0 && !sendAll(c.client, buf, pass)) return false;
    if (strikes) strike(c);
    return !c.closed;
}

void CuttingProxy::run() {
    std::vector<std::unique_ptr<Conn>> conns;
    while (true) {
        std::vector<pollfd> wait = {{stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const auto& c : conns) {
            wait.push_back({c->client, POLLIN, 0});
            wait.push_back({c->holding ? -1 : c->server, POLLIN, 0});
        }
        if (::poll(wait.data(), wait.size(), -1) < 0 && errno != EINTR) return;
        if (wait[0].revents) return;
        for (size_t i = 0; i < conns.size(); ++i) {
            Conn& c = *conns[i];
            bool open = true;
            if (wait[2 + 2 * i].revents) open = fromClient(c);
            if (open && !c.holding && wait[3 + 2 * i].revents) open = fromServer(c);
            if (!open) c.closed = true;
        }
        conns.erase(std::remove_if(conns.begin(), conns.end(), [](const auto& c) { return c->closed; }), conns.end());
        if (wait[1].revents) {
            if (auto c = accept()) conns.push_back(std::move(c));
        }
    }
}

std::unique_ptr<CuttingProxy::Conn> CuttingProxy::accept() {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return nullptr;
    auto c = std::make_unique<Conn>();
    c->client = client;
    c->server = connectLoopback(serverPort_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
        if (fault_ && left_ != 0) c->fault = fault_;
    }
    if (c->server < 0) return nullptr;
    if (c->fault && c->fault->action != ProxyFault::Action::Reply && c->fault->clientText.empty()) {
        arm(*c);
        if (c->serverLeft < 0 && c->clientLeft < 0) {
            if (claim()) {
                strike(*c);
            } else {
                c->fault.reset();
            }
        }
    }
    if (c->closed) return nullptr;
    return c;
}
