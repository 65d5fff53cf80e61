#include "fast_sink.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"

namespace {

bool startsWithWord(std::string_view line, std::string_view word) {
    if (line.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if ((line[i] & ~0x20) != word[i]) return false;
    return true;
}

} // namespace

FastSink::FastSink(bool quickAck) : quickAck_(quickAck) { acceptor_ = std::thread([this] { acceptLoop(); }); }

FastSink::~FastSink() {
    listener_.stop();
    acceptor_.join();
    for (auto& t : sessions_) t.join();
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
    for (int fd; (fd = listener_.accept()) >= 0;) {
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
        if (!listener_.waitReadable(fd)) break;
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
                out += "250-sink\r\n250-PIPELINING\r\n250 HELP\r\n";
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
