// A small, fast SMTP sink for the forwarding benchmark: accepts every command on
// 127.0.0.1 (ephemeral port), keeps every message's text (dot-unstuffed, CR LF as sent)
// for checking, and answers each batch of complete commands with one write, so it
// advertises PIPELINING after EHLO, as most mail servers do.
//
// Two ways of acknowledging TCP data: quickAck sets TCP_QUICKACK after every read, so
// the client never waits for an acknowledgement; without it the kernel delays
// acknowledgements as it does for any real mail server, and a client that sends a small
// write behind an unacknowledged one (Nagle) waits for the delayed acknowledgement.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"

class FastSink {
public:
    explicit FastSink(bool quickAck);
    ~FastSink();
    FastSink(const FastSink&) = delete;
    FastSink& operator=(const FastSink&) = delete;

    int port() const { return listener_.port(); }
    bool quickAck() const { return quickAck_; }

    struct Counts {
        long mails = 0;      // MAIL commands
        long recipients = 0; // RCPT commands
        long sessions = 0;   // connections accepted
    };
    // Takes the messages received so far (in arrival order) and the counts, and starts
    // afresh.
    std::vector<std::string> take(Counts& counts);

private:
    void acceptLoop();
    void serve(int fd);

    bool quickAck_;
    LoopbackListener listener_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
    Counts counts_;
    std::vector<std::thread> sessions_;
    std::thread acceptor_;
};
