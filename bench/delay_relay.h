// A TCP relay on 127.0.0.1 that stands for a far-away server: every chunk of data,
// in either direction, is passed on a fixed delay after it arrived, in order. Chunks are
// queued with their arrival time, so the delay adds latency without limiting
// throughput (a full window of data is in flight). Each connection to the relay gets
// its own connection to the target.
//
// The relay acknowledges TCP data at once (TCP_QUICKACK after every read) and writes
// with TCP_NODELAY: it adds the delay and nothing of its own. An acknowledgement does
// not travel the delay, so a client held back by Nagle's algorithm waits less than on a
// real path of that length.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "loopback.h"

class DelayRelay {
public:
    DelayRelay(int targetPort, std::chrono::microseconds delay);
    // Stops every connection at once.
    ~DelayRelay();
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;

    int port() const { return listener_.port(); }

private:
    void acceptLoop();
    void relay(int client);

    int targetPort_;
    std::chrono::microseconds delay_;
    LoopbackListener listener_;
    std::mutex mutex_;
    std::vector<std::thread> sessions_;
    std::thread acceptor_;
};

// The median round trip of a one-line command and its one-line reply to an SMTP sink
// at port (NOOP, over one connection), in milliseconds: the relay's own cost is the
// difference between this through the relay and the delay it adds.
double roundTripMs(int port, int trips);
