#include "fast_sink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool startsWithWord(std::string_view line, std::string_view word) {
    if (line.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if ((line[i] & ~0x20) != word[i]) return false;
    return true;
}

bool sendAll(int fd, const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

FastSink::FastSink(bool quickAck) : quickAck_(quickAck) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("sink: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FastSink::~FastSink() {
    (void)!::write(stopPipe_[1], "x", 1);
    acceptor_.join();
    for (auto& t : sessions_) t.join();
    for (int fd : {listener_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
}

std::vector<std::string> FastSink::take(Counts& counts) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts = counts_;
    counts_ = {};
    std::vector<std::string> out;
    out.swap(messages_);
    return out;
}

void FastSink::acceptLoop() {
    while (true) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (!p[0].revents) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counts_.sessions;
        }
        sessions_.emplace_back([this, fd] { serve(fd); });
    }
}

void FastSink::serve(int fd) {
    // Replies go out at once; only the way incoming data is acknowledged differs.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (quickAck_) ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    std::string in, out = "220 sink ready\r\n", message;
    size_t pos = 0;
    bool inData = false, open = sendAll(fd, out);
    std::vector<char> buf(256 * 1024);
    while (open) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents) break;
        if (!p[0].revents) continue;
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        // The flag is not sticky: the kernel may fall back to delayed acknowledgements.
        if (quickAck_) ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        in.append(buf.data(), static_cast<size_t>(n));
        out.clear();
        while (open) {
            size_t eol = in.find("\r\n", pos);
            if (eol == std::string::npos) break;
            std::string_view line(in.data() + pos, eol + 2 - pos);
            pos = eol + 2;
            if (inData) {
                if (line == ".\r\n") {
                    inData = false;
                    out += "250 queued\r\n";
                    std::lock_guard<std::mutex> lock(mutex_);
                    messages_.push_back(std::move(message));
                    message = std::string();
                    continue;
                }
                if (line[0] == '.') line.remove_prefix(1);
                message.append(line);
                continue;
            }
            if (startsWithWord(line, "EHLO")) {
                out += "250-sink\r\n250 HELP\r\n";
            } else if (startsWithWord(line, "MAIL")) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++counts_.mails;
                out += "250 ok\r\n";
            } else if (startsWithWord(line, "RCPT")) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++counts_.recipients;
                out += "250 ok\r\n";
            } else if (startsWithWord(line, "DATA")) {
                inData = true;
                message.clear();
                out += "354 go ahead\r\n";
            } else if (startsWithWord(line, "QUIT")) {
                out += "221 bye\r\n";
                open = false;
            } else if (startsWithWord(line, "HELO") || startsWithWord(line, "RSET") || startsWithWord(line, "NOOP")) {
                out += "250 ok\r\n";
            } else {
                out += "502 not implemented\r\n";
            }
        }
        // Consumed input is dropped once it dominates, so long messages stay linear.
        if (pos > 0 && pos * 2 >= in.size()) {
            in.erase(0, pos);
            pos = 0;
        }
        if (!out.empty() && !sendAll(fd, out)) break;
    }
    ::close(fd);
}
