// A loopback server that plays a transcript, for byte-level protocol tests.
//
// Transcript lines:
//   S: text        send text + CR LF
//   S-RAW: text    send text with C escapes (\r \n \0 \t \\ \xHH), nothing appended
//   C: text        read one CR LF line from the client; it must equal text ("*" = any)
//   C-DATA         read lines up to and including "." (an SMTP message body)
//   ACCEPT         take the next connection
//   CLOSE          close the connection
//   DROP           close the connection without a TLS close_notify (as a peer that
//                  crashed or a middlebox does)
//   SLEEP ms       pause
//   STALL          say nothing more; wait until the client goes away
// Empty lines and lines starting with "#" are ignored.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptedServerOptions {
    bool tls = false;
    std::string cert; // default: the test CA's localhost certificate
    std::string key;
    bool oneByteAtATime = false; // every S:/S-RAW: byte goes out in a write of its own
    size_t writeSize = 0;        // when set, S:/S-RAW: bytes go out in writes of this size

    static ScriptedServerOptions Tls(std::string certFile = {}, std::string keyFile = {}) {
        ScriptedServerOptions o;
        o.tls = true;
        o.cert = std::move(certFile);
        o.key = std::move(keyFile);
        return o;
    }
    static ScriptedServerOptions OneByte(bool on = true) {
        ScriptedServerOptions o;
        o.oneByteAtATime = on;
        return o;
    }
    static ScriptedServerOptions Writes(size_t size) {
        ScriptedServerOptions o;
        o.writeSize = size;
        return o;
    }
};

class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& transcript, ScriptedServerOptions options = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // Waits for the script to end (bounded); "" when it ran through, else the mismatch.
    std::string result(int timeoutSeconds = 30);
    // Every byte the client sent, over all connections.
    std::string clientBytes();
    int connections() const { return connections_; }

private:
    void play();
    std::string step(const std::string& line);

    std::vector<std::string> script_;
    ScriptedServerOptions options_;
    int listener_ = -1;
    int conn_ = -1;
    int port_ = 0;
    void* ctx_ = nullptr; // SSL_CTX
    void* ssl_ = nullptr; // SSL
    std::string inbox_;   // received, not yet matched
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::string outcome_;
    std::string received_;
    std::thread thread_;
};

// A loopback port that nobody listens on (bound, then released).
int unusedPort();

// The text of a fixture file below tests/fixtures.
std::string fixture(const std::string& name);
