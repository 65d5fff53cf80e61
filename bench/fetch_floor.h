// The floor of the forwarding benchmark: the time to retrieve every message of a
// mailbox from the server without forwarding it, one message after another as a
// forwarder asks for them (POP3 RETR, or IMAP FETCH of the whole message), reading in
// large blocks and keeping nothing.
#pragma once

#include <string>

struct FloorResult {
    double seconds = 0;
    long messages = 0;
    long long bytes = 0; // message bytes as served (CR LF line ends, POP3 unstuffed)
    std::string error;   // empty when every message was retrieved
};

// Logs in as user/password on 127.0.0.1:port (TLS without certificate checks when tls)
// and retrieves messages 1 to count.
FloorResult retrieveAll(int port, bool imap, bool tls, const std::string& user, const std::string& password,
                        long count);
