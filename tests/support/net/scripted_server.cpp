#include "scripted_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "testca.h"
#include "testutil.h"

namespace {

constexpr int kWaitMs = 20000; // no single wait of the script lasts longer

std::string unescape(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        char c = in[++i];
        switch (c) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 'x':
            out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default: out += c;
        }
    }
    return out;
}

SSL_CTX* ctxOf(void* p) { return static_cast<SSL_CTX*>(p); }
SSL* sslOf(void* p) { return static_cast<SSL*>(p); }

} // namespace

ScriptedServer::ScriptedServer(const std::string& transcript, ScriptedServerOptions options)
    : options_(std::move(options)) {
    std::istringstream in(transcript);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        script_.push_back(line);
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 8) != 0)
        throw std::runtime_error("scripted server: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (options_.tls) {
        if (options_.cert.empty()) {
            options_.cert = testCerts().serverCert;
            options_.key = testCerts().serverKey;
        }
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, options_.cert.c_str());
        SSL_CTX_use_PrivateKey_file(ctx, options_.key.c_str(), SSL_FILETYPE_PEM);
        ctx_ = ctx;
    }
    script_.insert(script_.begin(), "ACCEPT");
    thread_ = std::thread([this] { play(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (ssl_) SSL_free(sslOf(ssl_));
    if (conn_ >= 0) ::close(conn_);
    if (listener_ >= 0) ::close(listener_);
    if (ctx_) SSL_CTX_free(ctxOf(ctx_));
}

std::string ScriptedServer::result(int timeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::seconds(timeoutSeconds), [this] { return done_; }))
        return "script did not finish in time";
    return outcome_;
}

std::string ScriptedServer::clientBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void ScriptedServer::play() {
    std::string outcome;
    for (const std::string& line : script_) {
        outcome = step(line);
        if (!outcome.empty()) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    outcome_ = outcome;
    cv_.notify_all();
}

std::string ScriptedServer::step(const std::string& line) {
    auto waitFor = [this](int fd, short events) {
        for (int waited = 0; waited < kWaitMs && !stop_; waited += 50) {
            pollfd p{fd, events, 0};
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    };
    auto sendBytes = [&](const std::string& bytes) -> std::string {
        size_t step = options_.oneByteAtATime ? 1 : options_.writeSize ? options_.writeSize : bytes.size();
        for (size_t off = 0; off < bytes.size(); off += step) {
            size_t n = std::min(step, bytes.size() - off);
            ssize_t w = ssl_ ? SSL_write(sslOf(ssl_), bytes.data() + off, static_cast<int>(n))
                             : ::send(conn_, bytes.data() + off, n, MSG_NOSIGNAL);
            if (w != static_cast<ssize_t>(n)) return "send failed";
            if (options_.oneByteAtATime || options_.writeSize) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return "";
    };
    // Reads more bytes from the client into inbox_; false at end of stream or time-out.
    auto receive = [&]() {
        char buf[4096];
        while (true) {
            if (ssl_ && SSL_pending(sslOf(ssl_)) == 0 && !waitFor(conn_, POLLIN)) return false;
            if (!ssl_ && !waitFor(conn_, POLLIN)) return false;
            int n = ssl_ ? SSL_read(sslOf(ssl_), buf, sizeof buf) : static_cast<int>(::recv(conn_, buf, sizeof buf, 0));
            if (n > 0) {
                inbox_.append(buf, static_cast<size_t>(n));
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(buf, static_cast<size_t>(n));
                return true;
            }
            if (ssl_ && SSL_get_error(sslOf(ssl_), n) == SSL_ERROR_WANT_READ) continue;
            return false;
        }
    };
    auto readLine = [&](std::string& out) {
        size_t at;
        while ((at = inbox_.find("\r\n")) == std::string::npos)
            if (!receive()) return false;
        out = inbox_.substr(0, at);
        inbox_.erase(0, at + 2);
        return true;
    };

    if (line == "ACCEPT") {
        if (ssl_) SSL_free(sslOf(ssl_));
        ssl_ = nullptr;
        if (conn_ >= 0) ::close(conn_);
        inbox_.clear();
        if (!waitFor(listener_, POLLIN)) return "no connection arrived";
        conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ++connections_;
        int on = 1;
        ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (ctx_) {
            SSL* ssl = SSL_new(ctxOf(ctx_));
            SSL_set_fd(ssl, conn_);
            ssl_ = ssl;
            if (SSL_accept(ssl) <= 0) {
                ERR_clear_error();
                return "TLS handshake failed";
            }
        }
        return "";
    }
    if (line == "CLOSE") {
        if (ssl_) {
            SSL_shutdown(sslOf(ssl_));
            SSL_free(sslOf(ssl_));
            ssl_ = nullptr;
        }
        ::close(conn_);
        conn_ = -1;
        return "";
    }
    if (line == "DROP") {
        ::close(conn_);
        conn_ = -1;
        return "";
    }
    if (line == "STALL") {
        // Whatever the client still sends is read and dropped; its close ends the stall.
        while (!stop_) {
            char buf[512];
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int n = ssl_ ? SSL_read(sslOf(ssl_), buf, sizeof buf) : static_cast<int>(::recv(conn_, buf, sizeof buf, 0));
            if (n <= 0 && !(ssl_ && SSL_get_error(sslOf(ssl_), n) == SSL_ERROR_WANT_READ)) break;
        }
        return "";
    }
    if (line.rfind("SLEEP ", 0) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(line.substr(6))));
        return "";
    }
    if (line.rfind("S: ", 0) == 0) return sendBytes(line.substr(3) + "\r\n");
    if (line == "S:") return sendBytes("\r\n");
    if (line.rfind("S-RAW: ", 0) == 0) return sendBytes(unescape(line.substr(7)));
    if (line.rfind("C: ", 0) == 0 || line == "C:") {
        std::string want = line.size() > 3 ? line.substr(3) : "", got;
        if (!readLine(got)) return "expected \"" + want + "\", connection ended";
        if (want != "*" && got != want) return "expected \"" + want + "\", got \"" + got + "\"";
        return "";
    }
    if (line == "C-DATA") {
        std::string got;
        do {
            if (!readLine(got)) return "connection ended inside DATA";
        } while (got != ".");
        return "";
    }
    return "bad script line: " + line;
}

std::string fixture(const std::string& name) { return readFile(std::string(TARNWELL_SOURCE_DIR) + "/tests/fixtures/" + name); }

int unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}
