// Loopback sockets shared by the benchmark's servers and clients.
#pragma once

#include <string_view>

// A listening socket on 127.0.0.1 with an ephemeral port, stored in port; throws when
// that fails.
int listenLoopback(int& port);
// A connected socket to 127.0.0.1:port with TCP_NODELAY; throws when that fails.
int connectLoopback(int port);
// Writes all of text (retrying short writes); false when the connection is gone.
bool sendAll(int fd, std::string_view text);

// A listening socket on 127.0.0.1 (ephemeral port) for a server run by threads, with a
// stop signal that wakes every one of them.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return port_; }
    // The next connection, or -1 once stop() was called.
    int accept();
    // Waits until fd has something to read (or is closed): false once stop() was called.
    bool waitReadable(int fd);
    // Readable once stop() was called, for a thread's own poll set.
    int stopFd() const { return stopPipe_[0]; }
    void stop();

private:
    int fd_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
};
