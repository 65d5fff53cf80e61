// A POP3 server for the listing benchmark: a scripted stand-in, since a real server
// takes long to fill with hundreds of thousands of messages. It takes any user and
// password, lists count messages in answer to UIDL ("n bench-uid-n") and answers CAPA,
// RSET, NOOP and QUIT. Every other command is refused; RETR, TOP and DELE are counted
// too: the benchmark's agent knows every message, so it has nothing to retrieve or
// delete.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "loopback.h"

class ListingPop {
public:
    explicit ListingPop(long count);
    ~ListingPop();
    ListingPop(const ListingPop&) = delete;
    ListingPop& operator=(const ListingPop&) = delete;

    int port() const { return listener_.port(); }
    long count() const { return count_; }
    // The unique identifier of message n (1-based).
    static std::string uid(long n);
    // Retrievals and deletions asked for so far, over every connection.
    long touched() const { return touched_; }

private:
    void serveLoop();
    void serve(int fd);

    long count_;
    std::string listing_; // the whole UIDL answer
    LoopbackListener listener_;
    std::atomic<long> touched_{0};
    std::thread server_;
};
