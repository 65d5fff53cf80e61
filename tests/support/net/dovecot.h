// A private Dovecot for the POP3 and IMAP tests: started in a temporary folder with its
// own configuration, listening on 127.0.0.1 only, on free ports for POP3 and IMAP, plain
// and TLS (the test CA's localhost certificate), with one user whose INBOX is a
// maildir the test fills and inspects directly.
//
// Mail is accessed as an unprivileged account: "nobody" when the tests run as root
// (Dovecot refuses uid 0), else the calling user, with every Dovecot process running
// as that user.
#pragma once

#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "testutil.h"

class Dovecot {
public:
    static constexpr const char* kUser = "tester";
    static constexpr const char* kPassword = "Tw-s3cret";

    // Starts the server and waits (bounded) until it accepts connections; throws with
    // Dovecot's log when it does not come up.
    Dovecot();
    // Stops every Dovecot process of this instance.
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    int popPort() const { return ports_[0]; }
    int popsPort() const { return ports_[1]; }
    int imapPort() const { return ports_[2]; }
    int imapsPort() const { return ports_[3]; }
    // "user:password", as the clients take them.
    static std::string credentials() { return std::string(kUser) + ":" + kPassword; }

    // Stores a message in INBOX as Dovecot keeps it (text with LF line ends). Messages
    // added one after another get increasing UIDs and POP3 numbers.
    void addMessage(const std::string& text);
    // The same for a message kept in a file (for messages too large to hold in memory).
    void addMessageFile(const std::string& path);
    // The texts of the messages left in INBOX, in the order they were added.
    std::vector<std::string> messages() const;
    // Empties INBOX.
    void clearMailbox();
    // Dovecot's own log so far.
    std::string log() const;

private:
    bool start();
    void stop();
    void writeConfig();

    TempDir dir_;
    std::string maildir_;
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
    int ports_[4] = {};
    pid_t pid_ = -1;
    unsigned added_ = 0;
};

// Dovecot's text: CR LF where the message has LF, as its servers deliver it.
std::string crlf(const std::string& lfText);

// A relay in front of an IMAP server that removes "AUTH=PLAIN" from the server's
// capability lines, so that a client sees a server without SASL PLAIN and logs in with
// the LOGIN command (Dovecot itself cannot hide PLAIN and still accept LOGIN).
class PlainHidingRelay {
public:
    explicit PlainHidingRelay(int serverPort);
    ~PlainHidingRelay();
    PlainHidingRelay(const PlainHidingRelay&) = delete;
    PlainHidingRelay& operator=(const PlainHidingRelay&) = delete;
    int port() const { return port_; }
    // Every byte clients sent through the relay.
    std::string clientBytes();

private:
    void run();

    int serverPort_;
    int listener_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::string fromClients_;
    std::thread thread_;
};

// A message of about size bytes (LF line ends) whose lines vary in length, with lines
// that begin with "." or "..", consist of "." alone, or look like protocol replies.
std::string sampleMessage(size_t size, const std::string& subject);
