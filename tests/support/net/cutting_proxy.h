// A TCP relay on 127.0.0.1 in front of a loopback server, for breaking a connection at
// a chosen point of a real session: when the client sends a given text, once either side
// has sent a given number of bytes, or at a chosen SMTP command, which the relay then
// answers itself; on every connection or only the first few.
//
// Writes are blocking: fine for command/reply protocols, where one side waits while the
// other talks.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>

struct ProxyFault {
    enum class Action {
        Cut,   // both sides of the connection are closed
        Hold,  // nothing more passes either way until the client closes its side
        Reply, // the arming command line is answered with reply instead of by the server
    };
    // The fault is armed once the client has sent this text; empty: armed from the start.
    // With serverBytes and clientBytes 0 the text itself and what follows it never reach
    // the server.
    std::string clientText;
    // Once armed, this many more bytes pass from the server before the fault strikes.
    long serverBytes = 0;
    Action action = Action::Cut;
    // How many times the fault strikes (one connection each); -1: on every connection.
    int times = -1;
    // Which occurrence of clientText on a connection arms the fault (1: the first).
    int occurrence = 1;
    // Once armed, this many more bytes pass from the client before the fault strikes;
    // with serverBytes as well, whichever count is reached first.
    long clientBytes = 0;
    // Reply: the SMTP reply (without CR LF) given to the occurrence-th command line that
    // contains clientText (any command line when it is empty). Lines of message content,
    // from a 354 reply up to the line ".", are not commands; that line itself is. The
    // command is kept from the server; after a refused "." both sides are closed (the
    // server is still inside the message). The byte counts play no part; otherwise the
    // relay is faithful after the reply.
    std::string reply = {};
};

class CuttingProxy {
public:
    // Relays to serverPort on 127.0.0.1; throws when it cannot listen.
    explicit CuttingProxy(int serverPort, std::optional<ProxyFault> fault = std::nullopt);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    int port() const { return port_; }
    // Replaces the fault for connections accepted from now on; nullopt relays faithfully.
    void setFault(std::optional<ProxyFault> fault);
    // How often a fault has struck so far.
    int struck();
    // Waits (bounded) until a fault has struck count times in all; false on time-out.
    bool waitStruck(int count, int timeoutSeconds);
    int connections();
    // Bytes received so far from the clients and from the server, over all connections.
    long clientBytes();
    long serverBytes();

private:
    struct Conn;
    void run();
    std::unique_ptr<Conn> accept();
    bool claim();
    void count(long& total, ssize_t n);
    void arm(Conn& c);
    bool fromClient(Conn& c);
    bool passClient(Conn& c, std::string_view chunk);
    bool answerCommands(Conn& c, std::string_view chunk);
    bool fromServer(Conn& c);
    void strike(Conn& c);

    int serverPort_;
    int listener_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<ProxyFault> fault_;
    int left_ = -1; // strikes still to come; -1: unlimited
    int struck_ = 0;
    int connections_ = 0;
    long clientBytes_ = 0;
    long serverBytes_ = 0;
    std::thread thread_;
};
