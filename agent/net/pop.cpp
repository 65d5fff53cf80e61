#include "pop.h"

namespace {

constexpr size_t kCommandLine = 268; // longest command line, CR LF included
constexpr size_t kPiece = 4096;      // a piece ends at the first line end at or after this
constexpr size_t kPieceCapacity = 5121;
constexpr size_t kListCapacity = 1024;
// Deletions sent without waiting before their answers are read: the answers are short,
// but a long clean-up must not fill the socket buffers while the server waits on us.
constexpr size_t kOwedDeletions = 32;

// Room for the argument of a command word such as "USER " on one command line.
constexpr size_t argRoom(std::string_view word) { return kCommandLine - word.size() - 2; }

std::string_view withoutCrLf(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

// Empties the buffer for the next piece; a buffer that grew far beyond a piece (one
// very long line) is given back, so the record never keeps more than about a piece.
void resetBuffer(Str& text, size_t capacity) {
    if (text.capacity() > 2 * capacity) Str().swap(text);
    text.clear();
    text.reserve(capacity);
}

// Reads one line into socket.line, traced; -1 on failure.
long readTraced(PopClient& pop) {
    if (bSocket_readLn(pop.socket) < 0) return -1;
    std::string_view line = View(pop.socket.line);
    debugLog("POP->%.*s", static_cast<int>(withoutCrLf(line).size()), line.data());
    return static_cast<long>(line.size());
}

// Reads one reply line; 0 when it begins with "+".
int reply(PopClient& pop) {
    if (readTraced(pop) < 0) return -1;
    if (pop.socket.line.empty() || pop.socket.line[0] != '+') {
        bSocket_serverError(pop.socket);
        return -1;
    }
    return 0;
}

// Reads the answers owed to deletions, up to a retrieval owed before them.
int readOwed(PopClient& pop) {
    while (!pop.owed.empty() && pop.owed[0] == 'D') {
        pop.owed.erase(0, 1);
        if (reply(pop) != 0) return -1;
    }
    return 0;
}

// Sends word + arg without reading; a secret argument is traced as "********".
int send(PopClient& pop, std::string_view word, std::string_view arg = {}, bool secret = false) {
    debugLog("POP<-%s", NewStr(word, secret ? std::string_view("********") : arg).c_str());
    return bSocket_send(pop.socket, View(NewStr(word, arg, "\r\n")));
}

// Sends word + arg and reads its reply, after the answers owed before it.
int command(PopClient& pop, std::string_view word, std::string_view arg = {}, bool secret = false) {
    if (send(pop, word, arg, secret) != 0 || readOwed(pop) != 0) return -1;
    return reply(pop);
}

// True, with the connection closed and the texts set, when the message number would
// not fit a command line after word.
bool refused(PopClient& pop, std::string_view word, std::string_view messageNumber) {
    if (!unsafeCommandArg(messageNumber, argRoom(word))) return false;
    bSocket_refuseArgument(pop.socket, "message number");
    return true;
}

// Notes PIPELINING in the CAPA list; a server that refuses CAPA offers nothing.
int capabilities(PopClient& pop) {
    pop.pipelining = 0;
    if (send(pop, "CAPA") != 0 || readTraced(pop) < 0) return -1;
    if (pop.socket.line.empty() || pop.socket.line[0] != '+') return 0;
    for (size_t entries = 0;; ++entries) {
        if (readTraced(pop) < 0) return -1;
        std::string_view line = View(pop.socket.line);
        if (line == ".\r\n") return 0;
        if (entries >= pop.socket.limits.maxListEntries) {
            bSocket_fail(pop.socket, "The server's capability list is longer than the agent accepts.");
            return -1;
        }
        if (strcmpi(withoutCrLf(line), "PIPELINING") == 0) pop.pipelining = 1;
    }
}

} // namespace

Owned<PopClient> pop_construct() {
    DebugTag tag("POP Constructor");
    return makeTracked<PopClient>();
}

int pop_connect(PopClient& pop, std::string_view server, std::string_view credentials, std::string_view serverName,
                int useTLS) {
    DebugTag tag("POP.pop_connect");
    Str host;
    splitServer(server, host, pop.port, useTLS ? 995 : 110);
    bSocket_initSocket(pop.socket, View(host), pop.port, serverName, useTLS);
    // Nothing is owed on a new connection, whatever the last one left.
    Str().swap(pop.owed);
    Str().swap(pop.aheadNumber);
    Str user = NthField(credentials, ":", 1);
    Str pass = NthField(credentials, ":", 2);
    if (unsafeCommandArg(View(user), argRoom("USER "))) {
        bSocket_refuseArgument(pop.socket, "user name");
        return -1;
    }
    if (unsafeCommandArg(View(pass), argRoom("PASS "))) {
        bSocket_refuseArgument(pop.socket, "password");
        return -1;
    }
    debugLog("POP address is %s, port is %i", host.c_str(), pop.port);
    if (bSocket_connectSocket(pop.socket) != 0) return -1;
    if (reply(pop) != 0) return -1; // greeting
    if (command(pop, "USER ", View(user)) != 0) return -1;
    if (command(pop, "PASS ", View(pass), true) != 0) return -1;
    if (capabilities(pop) != 0) return -1;
    return command(pop, "RSET");
}

int pop_uidl(PopClient& pop) {
    DebugTag tag("POP.pop_uidl");
    if (command(pop, "UIDL") != 0) return -1;
    Str().swap(pop.text);
    pop.text.reserve(kListCapacity);
    const bSocketLimits& limits = pop.socket.limits;
    for (size_t entries = 0;; ++entries) {
        if (readTraced(pop) < 0) return -1;
        std::string_view line = View(pop.socket.line);
        if (line == ".\r\n") return 0;
        if (entries >= limits.maxListEntries || pop.text.size() + line.size() > limits.maxListBytes) {
            bSocket_fail(pop.socket, "The server's message list is longer than the agent accepts.");
            return -1;
        }
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        pop.text.append(line);
    }
}

int pop_getOpen(PopClient& pop, std::string_view messageNumber) {
    DebugTag tag("POP.pop_getOpen");
    if (!pop.aheadNumber.empty()) {
        // Its answer comes after those owed to the deletions sent before it.
        pop.aheadNumber.clear();
        if (readOwed(pop) != 0) return -1;
        pop.owed.erase(0, 1);
        if (reply(pop) != 0) return -1;
    } else {
        if (refused(pop, "RETR ", messageNumber)) return -1;
        if (command(pop, "RETR ", messageNumber) != 0) return -1;
    }
    pop.endOfMessage = 0;
    pop.lineStart = 1;
    return 0;
}

long pop_getText(PopClient& pop) {
    DebugTag tag("POP.pop_getText");
    resetBuffer(pop.text, kPieceCapacity);
    if (pop.endOfMessage) return 0;
    while (pop.text.size() < kPiece) {
        int endsLine = 0;
        if (bSocket_readPiece(pop.socket, kPiece, endsLine) < 0) return -1;
        std::string_view line = View(pop.socket.line);
        // The end mark and a stuffed dot exist only at a line start, not where a long
        // line was cut.
        if (pop.lineStart && line == ".\r\n") {
            debugLog("POP->EOM");
            pop.endOfMessage = 1;
            break;
        }
        if (pop.lineStart && line[0] == '.') line.remove_prefix(1);
        pop.lineStart = endsLine;
        pop.text.append(line);
    }
    debugLog("POP->%i bytes of message data", static_cast<int>(pop.text.size()));
    return static_cast<long>(pop.text.size());
}

int pop_sendAhead(PopClient& pop, std::string_view messageNumber) {
    DebugTag tag("POP.pop_sendAhead");
    if (!pop.pipelining) return 0;
    if (refused(pop, "RETR ", messageNumber)) return -1;
    if (send(pop, "RETR ", messageNumber) != 0) return -1;
    pop.owed.push_back('R');
    pop.aheadNumber = ToStr(messageNumber);
    return 0;
}

int pop_delete(PopClient& pop, std::string_view messageNumber) {
    DebugTag tag("POP.pop_delete");
    if (refused(pop, "DELE ", messageNumber)) return -1;
    if (!pop.pipelining) return command(pop, "DELE ", messageNumber);
    if (send(pop, "DELE ", messageNumber) != 0) return -1;
    pop.owed.push_back('D');
    return pop.owed.size() > kOwedDeletions ? readOwed(pop) : 0;
}

int pop_close(PopClient& pop) {
    DebugTag tag("POP.pop_close");
    if (command(pop, "QUIT") != 0) return -1;
    bSocket_closeSocket(pop.socket);
    return 0;
}
