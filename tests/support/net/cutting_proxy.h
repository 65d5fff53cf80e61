// A TCP relay on 127.0.0.1 in front of a loopback server, for breaking a connection at
// a chosen point of a real session: when the client sends a given text, or once the
// server has sent a given number of bytes, on every connection or only the first few.
//
// Writes are blocking: fine for command/reply protocols, where one side waits while the
// other talks.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct ProxyFault {
    enum class Action {
        Cut,  // both sides of the connection are closed
        Hold, // nothing more passes either way until the client closes its side
    };
    // The fault is armed once the client has sent this text; empty: armed from the start.
    // With serverBytes 0 the text itself and what follows it never reach the server.
    std::string clientText;
    // Once armed, this many more bytes pass from the server before the fault strikes.
    long serverBytes = 0;
    Action action = Action::Cut;
    // How many times the fault strikes (one connection each); -1: on every connection.
    int times = -1;
    // Which occurrence of clientText on a connection arms the fault (1: the first).
    int occurrence = 1;
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

private:
    struct Conn;
    void run();
    std::unique_ptr<Conn> accept();
    bool claim();
    bool fromClient(Conn& c);
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
    std::thread thread_;
};
