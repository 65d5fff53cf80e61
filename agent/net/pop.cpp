#include "pop.h"

namespace {

constexpr size_t kCommandLine = 268; // longest command line, CR LF included
constexpr size_t kPiece = 4096;      // a piece ends at the first line end at or after this
constexpr size_t kPieceCapacity = 5121;
constexpr size_t kListCapacity = 1024;

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

// Reads one reply line; 0 when it begins with "+".
int reply(PopClient& pop) {
    if (bSocket_readLn(pop.socket) < 0) return -1;
    std::string_view line = View(pop.socket.line);
    debugLog("POP->%.*s", static_cast<int>(withoutCrLf(line).size()), line.data());
    if (line.empty() || line[0] != '+') {
        bSocket_serverError(pop.socket);
        return -1;
    }
    return 0;
}

// Sends word + arg; a secret argument is traced as "********".
int command(PopClient& pop, std::string_view word, std::string_view arg = {}, bool secret = false) {
    debugLog("POP<-%s", NewStr(word, secret ? std::string_view("********") : arg).c_str());
    if (bSocket_write(pop.socket, View(NewStr(word, arg, "\r\n"))) != 0) return -1;
    return reply(pop);
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
    return command(pop, "RSET");
}

int pop_uidl(PopClient& pop) {
    DebugTag tag("POP.pop_uidl");
    if (command(pop, "UIDL") != 0) return -1;
    Str().swap(pop.text);
    pop.text.reserve(kListCapacity);
    const bSocketLimits& limits = pop.socket.limits;
    for (size_t entries = 0;; ++entries) {
        if (bSocket_readLn(pop.socket) < 0) return -1;
        std::string_view line = View(pop.socket.line);
        debugLog("POP->%.*s", static_cast<int>(withoutCrLf(line).size()), line.data());
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
    if (unsafeCommandArg(messageNumber, argRoom("RETR "))) {
        bSocket_refuseArgument(pop.socket, "message number");
        return -1;
    }
    if (command(pop, "RETR ", messageNumber) != 0) return -1;
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

int pop_delete(PopClient& pop, std::string_view messageNumber) {
    DebugTag tag("POP.pop_delete");
    if (unsafeCommandArg(messageNumber, argRoom("DELE "))) {
        bSocket_refuseArgument(pop.socket, "message number");
        return -1;
    }
    return command(pop, "DELE ", messageNumber);
}

int pop_close(PopClient& pop) {
    DebugTag tag("POP.pop_close");
    if (command(pop, "QUIT") != 0) return -1;
    bSocket_closeSocket(pop.socket);
    return 0;
}
