// A real SMTP server for tests: aiosmtpd run by tests/support/net/smtp_sink.py on
// 127.0.0.1 with an ephemeral port, saving every accepted message in a folder.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "testutil.h"

struct SmtpSinkOptions {
    bool tls = false;                // TLS from the first byte, with the test CA's localhost certificate
    std::string user;                // offer AUTH LOGIN and accept this user ...
    std::string password;            // ... with this password
    std::vector<std::string> faults; // "VERB[/TEXT][*TIMES]=REPLY", see smtp_sink.py
    int lineLimit = 0;               // longest line accepted, CR LF included; 0 = aiosmtpd's 1001
    bool pipelining = true;          // list PIPELINING in the EHLO reply
    std::string folder;              // where messages are saved; empty = a temporary folder
};

// One message as the server saved it.
struct ReceivedMail {
    std::string helo;            // argument of HELO/EHLO
    std::string authUser;        // user that logged in, empty without AUTH
    bool tls = false;
    std::string from;            // envelope sender
    std::vector<std::string> to; // envelope recipients in order
    std::string data;            // content after the server's dot-unstuffing, byte for byte
};

class SmtpSink {
public:
    // Starts the server and waits (bounded) until it listens; throws when it does not.
    explicit SmtpSink(SmtpSinkOptions options = {});
    // Stops the server by its process id.
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:<port>", as the agent's SMTP host setting takes it.
    std::string server() const;
    const std::string& folder() const { return folder_; }
    // Messages received so far, in order of arrival.
    std::vector<ReceivedMail> messages() const;
    size_t count() const;
    // Forgets the messages received so far (numbering goes on).
    void clear();

    // The server script, for starting it from elsewhere (the demo).
    static std::string script();

private:
    SmtpSinkOptions options_;
    TempDir temp_;
    std::string folder_;
    pid_t pid_ = -1;
    int port_ = 0;
};
