#include "fetch_floor.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// A blocking connection with a read buffer; throws on any failure.
class Conn {
public:
    Conn(int port, bool tls) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot connect");
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval wait{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (!tls) return;
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        ssl_.reset(SSL_new(ctx_.get()));
        SSL_set_fd(ssl_.get(), fd_);
        if (SSL_connect(ssl_.get()) != 1) throw std::runtime_error("TLS handshake failed");
    }
    ~Conn() {
        ssl_.reset();
        ::close(fd_);
    }

    void write(const std::string& text) {
        if (ssl_ ? SSL_write(ssl_.get(), text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size())
                 : ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("write failed");
    }

    // The next line, CR LF included.
    std::string line() {
        size_t eol;
        while ((eol = buf_.find("\r\n", pos_)) == std::string::npos) fill();
        std::string l = buf_.substr(pos_, eol + 2 - pos_);
        pos_ = eol + 2;
        return l;
    }

    // Skips exactly n bytes.
    void skip(long long n) {
        while (n > 0) {
            if (pos_ == buf_.size()) fill();
            size_t take = static_cast<size_t>(std::min<long long>(n, static_cast<long long>(buf_.size() - pos_)));
            pos_ += take;
            n -= static_cast<long long>(take);
        }
    }

    // Reads up to and including the line ".\r\n"; returns the bytes before it.
    long long untilDotLine() {
        // The status line's CR LF is still in the buffer, just before pos_: a text that
        // ends at once is found too.
        size_t from = pos_ - 2;
        long long bytes = 0;
        while (true) {
            size_t at = buf_.find("\r\n.\r\n", from);
            if (at != std::string::npos) {
                bytes += static_cast<long long>(at + 2 - pos_);
                pos_ = at + 5;
                return bytes;
            }
            // The last four bytes stay: the end mark may straddle the next read.
            size_t keepFrom = buf_.size() >= 4 ? buf_.size() - 4 : 0;
            if (keepFrom > pos_) {
                bytes += static_cast<long long>(keepFrom - pos_);
                pos_ = keepFrom;
            }
            fill();
            from = 0;
        }
    }

private:
    void fill() {
        if (pos_ > 0) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        char chunk[65536];
        int n = ssl_ ? SSL_read(ssl_.get(), chunk, sizeof chunk) : static_cast<int>(::recv(fd_, chunk, sizeof chunk, 0));
        if (n <= 0) throw std::runtime_error("connection closed or timed out");
        buf_.append(chunk, static_cast<size_t>(n));
    }

    struct CtxFree {
        void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
    };
    struct SslFree {
        void operator()(SSL* s) const { SSL_free(s); }
    };
    int fd_ = -1;
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
    std::string buf_;
    size_t pos_ = 0;
};

void expect(const std::string& line, const char* start) {
    if (line.rfind(start, 0) != 0) throw std::runtime_error("unexpected reply: " + line);
}

void popSession(Conn& c, const std::string& user, const std::string& password, long count, FloorResult& r) {
    expect(c.line(), "+OK");
    c.write("USER " + user + "\r\n");
    expect(c.line(), "+OK");
    c.write("PASS " + password + "\r\n");
    expect(c.line(), "+OK");
    for (long i = 1; i <= count; ++i) {
        c.write("RETR " + std::to_string(i) + "\r\n");
        expect(c.line(), "+OK");
        r.bytes += c.untilDotLine();
        ++r.messages;
    }
    c.write("QUIT\r\n");
    expect(c.line(), "+OK");
}

// Reads to the tagged result of tag.
void imapFinish(Conn& c, const std::string& tag) {
    while (true) {
        std::string l = c.line();
        if (l.rfind(tag + " ", 0) == 0) {
            expect(l, (tag + " OK").c_str());
            return;
        }
    }
}

void imapSession(Conn& c, const std::string& user, const std::string& password, long count, FloorResult& r) {
    expect(c.line(), "* OK");
    c.write("a LOGIN " + user + " " + password + "\r\n");
    imapFinish(c, "a");
    c.write("b SELECT INBOX\r\n");
    imapFinish(c, "b");
    for (long i = 1; i <= count; ++i) {
        std::string tag = "f" + std::to_string(i);
        c.write(tag + " FETCH " + std::to_string(i) + " BODY.PEEK[]\r\n");
        std::string l = c.line();
        size_t open = l.rfind('{');
        if (l.rfind("* ", 0) != 0 || open == std::string::npos) throw std::runtime_error("no literal: " + l);
        long long size = std::stoll(l.substr(open + 1));
        c.skip(size);
        r.bytes += size;
        ++r.messages;
        imapFinish(c, tag);
    }
    c.write("z LOGOUT\r\n");
    imapFinish(c, "z");
}

} // namespace

FloorResult retrieveAll(int port, bool imap, bool tls, const std::string& user, const std::string& password,
                        long count) {
    FloorResult r;
    auto start = std::chrono::steady_clock::now();
    try {
        Conn c(port, tls);
        if (imap)
            imapSession(c, user, password, count, r);
        else
            popSession(c, user, password, count, r);
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}
