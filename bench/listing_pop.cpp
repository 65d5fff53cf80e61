#include "listing_pop.h"

#include <cerrno>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"

ListingPop::ListingPop(long count) : count_(count) {
    listing_ = "+OK " + std::to_string(count) + " messages\r\n";
    for (long n = 1; n <= count; ++n) listing_ += std::to_string(n) + " " + uid(n) + "\r\n";
    listing_ += ".\r\n";
    server_ = std::thread([this] { serveLoop(); });
}

ListingPop::~ListingPop() {
    listener_.stop();
    server_.join();
}

std::string ListingPop::uid(long n) { return "bench-uid-" + std::to_string(n); }

// One client at a time: the agent opens one connection per run.
void ListingPop::serveLoop() {
    for (int fd; (fd = listener_.accept()) >= 0;) serve(fd);
}

void ListingPop::serve(int fd) {
    std::string in;
    bool open = sendAll(fd, "+OK listing server ready\r\n");
    char buf[4096];
    while (open) {
        if (!listener_.waitReadable(fd)) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
        // Commands sent ahead are answered in order.
        for (size_t eol; open && (eol = in.find("\r\n")) != std::string::npos; in.erase(0, eol + 2)) {
            const std::string_view line(in.data(), eol);
            const std::string_view word = line.substr(0, line.find(' '));
            if (word == "UIDL" && line.size() == 4) {
                open = sendAll(fd, listing_);
            } else if (word == "CAPA") {
                open = sendAll(fd, "+OK\r\nUSER\r\nUIDL\r\nPIPELINING\r\n.\r\n");
            } else if (word == "USER" || word == "PASS" || word == "RSET" || word == "NOOP") {
                open = sendAll(fd, "+OK\r\n");
            } else if (word == "QUIT") {
                sendAll(fd, "+OK bye\r\n");
                open = false;
            } else {
                if (word == "RETR" || word == "TOP" || word == "DELE") ++touched_;
                open = sendAll(fd, "-ERR not offered here\r\n");
            }
        }
    }
    ::close(fd);
}
