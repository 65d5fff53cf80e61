#include "netshim.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
int __real_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
int __real_connect(int fd, const sockaddr* addr, socklen_t len);
ssize_t __real_read(int fd, void* buf, size_t count);
ssize_t __real_send(int fd, const void* buf, size_t len, int flags);
}

namespace {

const uint8_t* input = nullptr;
size_t inputSize = 0;
size_t position = 0; // next byte of input to play
bool exhausted = true;
int clientFd = -1;
int peerFd = -1;
bool shut = false; // the peer's side of the current connection is shut
int connectCount = 0;
std::string clientText;

void drainPeer() {
    char buf[4096];
    while (peerFd >= 0) {
        ssize_t n = __real_read(peerFd, buf, sizeof buf);
        if (n <= 0) break;
        clientText.append(buf, static_cast<size_t>(n));
    }
}

// Writes the next turn to the peer, or shuts the peer's side when none is left;
// false when there was nothing left to do.
bool feed() {
    if (peerFd < 0 || shut) return false;
    if (exhausted) {
        ::shutdown(peerFd, SHUT_WR);
        shut = true;
        return true;
    }
    const void* nul = std::memchr(input + position, 0, inputSize - position);
    size_t end = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - input) : inputSize;
    size_t off = position;
    while (off < end) {
        ssize_t n = __real_send(peerFd, input + off, end - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break; // the client closed; the rest of the turn goes nowhere
    }
    position = nul ? end + 1 : end;
    exhausted = position >= inputSize && !nul;
    if (exhausted) {
        ::shutdown(peerFd, SHUT_WR);
        shut = true;
    }
    return true;
}

} // namespace

namespace netshim {

void play(const uint8_t* data, size_t size) {
    finish();
    input = data;
    inputSize = size;
    position = 0;
    exhausted = size == 0;
    connectCount = 0;
    clientText.clear();
}

void finish() {
    drainPeer();
    if (peerFd >= 0) ::close(peerFd);
    peerFd = -1;
    clientFd = -1;
}

const std::string& sent() { return clientText; }

int connections() { return connectCount; }

} // namespace netshim

extern "C" {

int __wrap_getaddrinfo(const char*, const char* service, const addrinfo* hints, addrinfo** res) {
    addrinfo h{};
    if (hints) h = *hints;
    h.ai_family = AF_INET;
    h.ai_flags = AI_NUMERICHOST | (service ? AI_NUMERICSERV : 0);
    return __real_getaddrinfo("127.0.0.1", service, &h, res);
}

int __wrap_connect(int fd, const sockaddr*, socklen_t) {
    netshim::finish();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    if (::dup2(pair[0], fd) < 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        return -1;
    }
    ::close(pair[0]);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(pair[1], F_SETFL, ::fcntl(pair[1], F_GETFL) | O_NONBLOCK);
    clientFd = fd;
    peerFd = pair[1];
    shut = false;
    ++connectCount;
    feed();
    return 0;
}

ssize_t __wrap_read(int fd, void* buf, size_t count) {
    ssize_t n = __real_read(fd, buf, count);
    while (fd == clientFd && n < 0 && errno == EAGAIN && feed()) n = __real_read(fd, buf, count);
    return n;
}

ssize_t __wrap_send(int fd, const void* buf, size_t len, int flags) {
    ssize_t n = __real_send(fd, buf, len, flags);
    if (fd != clientFd) return n;
    int err = errno;
    drainPeer();
    if (n < 0 && err == EAGAIN) return __real_send(fd, buf, len, flags);
    errno = err;
    return n;
}

} // extern "C"
