#include "delay_relay.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// Beyond this many bytes waiting in one direction the relay stops reading from that
// side until some are passed on: far more than a window, so it never limits a transfer.
constexpr size_t kMaxQueued = 16 << 20;

struct Chunk {
    Clock::time_point due;
    std::string data;
    size_t sent = 0;
};

// One direction of a relayed connection.
struct Direction {
    int from, to;
    std::deque<Chunk> queue;
    size_t queued = 0;
    bool ended = false; // the source has closed; the end goes on once the queue is empty
    bool shut = false;

    bool wantsRead() const { return !ended && queued < kMaxQueued; }
    bool due(Clock::time_point now) const { return !queue.empty() && queue.front().due <= now; }
    bool done() const { return shut; }
};

void quickAck(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

// Reads what is there into the queue; false when the connection failed.
bool readInto(Direction& d, Clock::time_point now, std::chrono::microseconds delay) {
    char buf[65536];
    ssize_t n = ::recv(d.from, buf, sizeof buf, 0);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    quickAck(d.from);
    if (n == 0) {
        d.ended = true;
        return true;
    }
    d.queue.push_back({now + delay, std::string(buf, static_cast<size_t>(n))});
    d.queued += static_cast<size_t>(n);
    return true;
}

// Writes due chunks until the socket is full; passes the end on after the last one.
bool writeDue(Direction& d, Clock::time_point now) {
    while (d.due(now)) {
        Chunk& c = d.queue.front();
        ssize_t n = ::send(d.to, c.data.data() + c.sent, c.data.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) return errno == EINTR || errno == EAGAIN;
        c.sent += static_cast<size_t>(n);
        d.queued -= static_cast<size_t>(n);
        if (c.sent < c.data.size()) return true;
        d.queue.pop_front();
    }
    if (d.ended && d.queue.empty() && !d.shut) {
        ::shutdown(d.to, SHUT_WR);
        d.shut = true;
    }
    return true;
}

} // namespace

DelayRelay::DelayRelay(int targetPort, std::chrono::microseconds delay) : targetPort_(targetPort), delay_(delay) {
    acceptor_ = std::thread([this] { acceptLoop(); });
}

DelayRelay::~DelayRelay() {
    listener_.stop();
    acceptor_.join();
    for (auto& t : sessions_) t.join();
}

void DelayRelay::acceptLoop() {
    for (int fd; (fd = listener_.accept()) >= 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.emplace_back([this, fd] { relay(fd); });
    }
}

void DelayRelay::relay(int client) {
    int target = -1;
    try {
        target = connectLoopback(targetPort_);
    } catch (const std::exception&) {
        ::close(client);
        return;
    }
    int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (int fd : {client, target}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        quickAck(fd);
    }
    Direction up{client, target, {}, 0, false, false}, down{target, client, {}, 0, false, false};
    bool ok = true;
    while (ok && !(up.done() && down.done())) {
        const Clock::time_point now = Clock::now();
        pollfd p[5] = {{listener_.stopFd(), POLLIN, 0}};
        int n = 1, slot[4] = {-1, -1, -1, -1}; // up read, up write, down read, down write
        auto watch = [&](int which, int fd, short events) {
            slot[which] = n;
            p[n++] = {fd, events, 0};
        };
        if (up.wantsRead()) watch(0, up.from, POLLIN);
        if (up.due(now)) watch(1, up.to, POLLOUT);
        if (down.wantsRead()) watch(2, down.from, POLLIN);
        if (down.due(now)) watch(3, down.to, POLLOUT);
        // Sleep no longer than until the next chunk falls due.
        Clock::time_point wake = Clock::time_point::max();
        for (const Direction* d : {&up, &down})
            if (!d->queue.empty() && !d->due(now)) wake = std::min(wake, d->queue.front().due);
        timespec limit{}, *timeout = nullptr;
        if (wake != Clock::time_point::max()) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count();
            limit = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            timeout = &limit;
        }
        if (::ppoll(p, static_cast<nfds_t>(n), timeout, nullptr) < 0 && errno != EINTR) break;
        if (p[0].revents) break;
        const Clock::time_point after = Clock::now();
        auto ready = [&](int which) { return slot[which] > 0 && p[slot[which]].revents != 0; };
        if (ready(0)) ok = readInto(up, after, delay_);
        if (ok && ready(2)) ok = readInto(down, after, delay_);
        ok = ok && writeDue(up, after) && writeDue(down, after);
    }
    ::close(client);
    ::close(target);
}

double roundTripMs(int port, int trips) {
    int fd = connectLoopback(port);
    std::vector<double> times;
    char buf[512];
    auto awaitLine = [&] {
        while (true) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) throw std::runtime_error("round trip: connection closed");
            if (buf[n - 1] == '\n') return;
        }
    };
    awaitLine(); // the greeting
    for (int i = 0; i < trips; ++i) {
        const Clock::time_point start = Clock::now();
        if (!sendAll(fd, "NOOP\r\n")) throw std::runtime_error("round trip: cannot send");
        awaitLine();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    sendAll(fd, "QUIT\r\n");
    ::close(fd);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}
