#include "imap.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "base64.h"
#include "texthelpers.h"

namespace {

constexpr size_t kCommandLine = 268; // longest command line, CR LF included
constexpr size_t kTagRoom = 7;       // "A%04i " grows to seven characters after A9999
constexpr size_t kPiece = 4096;      // a piece ends at the first line end at or after this
constexpr size_t kPieceCapacity = 5121;
constexpr size_t kListCapacity = 1024;
constexpr size_t kSetLength = 1000;  // longest UID set of one STORE or EXPUNGE command
constexpr std::string_view kDeleteFlags = " +FLAGS.SILENT (\\Seen \\Deleted)";
// STOREs sent without waiting before their results are read, when no fetched message
// stands before them: a long clean-up must not fill the socket buffers.
constexpr long kOwedStores = 8;

// Room for the argument(s) of a tagged command with the given fixed text.
constexpr size_t argRoom(std::string_view fixed) { return kCommandLine - kTagRoom - fixed.size() - 2; }
// User name and password together in the LOGIN line and, Base64-encoded with their two
// NUL bytes, in the AUTHENTICATE PLAIN answer line: the smaller room holds for both.
constexpr size_t kCredentialRoom =
    std::min(argRoom("LOGIN  "), (kCommandLine - 2) / 4 * 3 - 2);

std::string_view withoutCrLf(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

void traceIn(std::string_view line) {
    line = withoutCrLf(line);
    debugLog("IMAP->%.*s", static_cast<int>(line.size()), line.data());
}

void resetBuffer(Str& text, size_t capacity) {
    if (text.capacity() > 2 * capacity) Str().swap(text);
    text.clear();
    text.reserve(capacity);
}

Str field(std::string_view line, long n) {
    Str f = NthField(line, " ", n);
    return Trim(f);
}

// A decimal number made of digits only; -1 for anything else or more than fits.
long number(std::string_view digits) {
    if (digits.empty()) return -1;
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || value > (LONG_MAX - 9) / 10) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Sends a line exactly as given, CR LF appended; traced as shown (the line itself, or
// the line with its secret masked).
int sendLine(ImapClient& imap, std::string_view text, std::string_view shown) {
    debugLog("IMAP<-%.*s", static_cast<int>(shown.size()), shown.data());
    return bSocket_send(imap.socket, View(NewStr(text, "\r\n")));
}

// Sends a command under the next tag, which is returned ("" after a failure); a secret
// argument is traced as "********".
Str send(ImapClient& imap, std::string_view text, std::string_view secret = {}) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "A%04i ", ++imap.tagCounter);
    Str shown = NewStr(tag, text, secret.empty() ? "" : "********");
    if (sendLine(imap, View(NewStr(tag, text, secret)), View(shown)) != 0) return Str();
    return ToStr(tag);
}

// Sends a command whose result is read next.
int command(ImapClient& imap, std::string_view text, std::string_view secret = {}) {
    imap.tag = send(imap, text, secret);
    return imap.tag.empty() ? -1 : 0;
}

bool isTagged(const ImapClient& imap, std::string_view line) { return line.starts_with(View(imap.tag)); }

// The tagged line now in socket.line: 0 when its result is OK.
int taggedResult(ImapClient& imap) {
    if (strcmpi(View(field(View(imap.socket.line), 2)), "OK") == 0) return 0;
    bSocket_serverError(imap.socket);
    return -1;
}

// The line in socket.line as the result of a command sent without waiting: 1 when it
// is one and OK (the command is no longer owed), -1 when it is one that failed, 0 when
// it is none.
int owedResult(ImapClient& imap, std::string_view line) {
    for (size_t at = 0; at < imap.owedTags.size();) {
        size_t end = imap.owedTags.find(' ', at) + 1;
        if (line.starts_with(View(imap.owedTags).substr(at, end - at))) {
            imap.owedTags.erase(at, end - at);
            return taggedResult(imap) == 0 ? 1 : -1;
        }
        at = end;
    }
    return 0;
}

// Reads the next line into socket.line, traced: 1 for a line to look at, 0 for the OK
// result of an owed command (taken), -1 on failure.
int readLine(ImapClient& imap) {
    if (bSocket_readLn(imap.socket) < 0) return -1;
    traceIn(View(imap.socket.line));
    int owed = owedResult(imap, View(imap.socket.line));
    return owed == 0 ? 1 : owed == 1 ? 0 : -1;
}

// Reads up to the current command's tagged line, giving every other line to untagged,
// which returns false after failing the connection; 0 when the result is OK.
template <class Untagged>
int finish(ImapClient& imap, Untagged untagged) {
    while (true) {
        int read = readLine(imap);
        if (read < 0) return -1;
        if (read == 0) continue;
        std::string_view line = View(imap.socket.line);
        if (isTagged(imap, line)) return taggedResult(imap);
        if (!untagged(line)) return -1;
    }
}

int finish(ImapClient& imap) {
    return finish(imap, [](std::string_view) { return true; });
}

bool isUntagged(std::string_view line) { return line.starts_with("* "); }

// Notes the capabilities of a "* CAPABILITY ..." line or of a "[CAPABILITY ...]"
// response code (greeting, login result). A list replaces the one before: a server
// may offer more once the user is logged in.
void noteCapabilities(ImapClient& imap, std::string_view line) {
    std::string_view list;
    if (isUntagged(line) && strcmpi(View(field(line, 2)), "CAPABILITY") == 0) {
        list = withoutCrLf(line.substr(std::string_view("* CAPABILITY").size()));
    } else if (long at = InStr(1, line, "[CAPABILITY "); at != 0) {
        list = line.substr(static_cast<size_t>(at) + 11);
        list = list.substr(0, list.find(']'));
    } else {
        return;
    }
    imap.authPlain = imap.unselect = imap.uidPlus = 0;
    for (long i = 1, n = CountFields(list, " "); i <= n; ++i) {
        Str name = field(list, i);
        if (strcmpi(View(name), "AUTH=PLAIN") == 0) imap.authPlain = 1;
        if (strcmpi(View(name), "UNSELECT") == 0) imap.unselect = 1;
        if (strcmpi(View(name), "UIDPLUS") == 0) imap.uidPlus = 1;
    }
}

// The value of the first "UID " item in a FETCH line (preceded by a blank or "(" and
// searched from the third character on); "" when there is none, or when the value runs
// into a line break (an unclosed quote, a lone CR), which would split the UID list.
Str uidItem(std::string_view line) {
    for (long from = 3;;) {
        long at = InStr(from, line, "UID ");
        if (at == 0) return Str();
        char before = line[static_cast<size_t>(at - 2)];
        if (before == ' ' || before == '(') {
            Str uid = getVal(at + 4, " )\r\n", line);
            return uid.find_first_of("\r\n") == Str::npos ? uid : Str();
        }
        from = at + 1;
    }
}

// The number in the first "{n}" of a FETCH line (0 is an empty message); -1 when there
// is none or it is not a plain number that fits.
long literalSize(std::string_view line) {
    size_t open = line.find('{');
    if (open == std::string_view::npos) return -1;
    size_t close = line.find('}', open);
    if (close == std::string_view::npos) return -1;
    return number(line.substr(open + 1, close - open - 1));
}

// Adds a UID to a set: a UID one above the set's last joins its range ("7:9"), so
// consecutive UIDs take little room; a range holds exactly the UIDs added.
void addToSet(Str& set, std::string_view uid) {
    size_t start = set.rfind(',') + 1; // 0 when there is no comma
    std::string_view last = View(set).substr(start);
    size_t colon = last.find(':');
    long end = number(colon == std::string_view::npos ? last : last.substr(colon + 1));
    long n = number(uid);
    if (!set.empty() && n >= 0 && end >= 0 && n - 1 == end) {
        set.resize(colon == std::string_view::npos ? set.size() : start + colon);
        set.push_back(':');
    } else if (!set.empty()) {
        set.push_back(',');
    }
    set.append(uid);
}

// Calls sendOne(prefix + piece + suffix) for each piece of the set, cut at a comma; an
// element is far shorter than a piece, so there is one.
template <class SendOne>
int eachSetCommand(std::string_view prefix, std::string_view set, std::string_view suffix, SendOne sendOne) {
    for (std::string_view rest = set; !rest.empty();) {
        size_t len = rest.size() <= kSetLength ? rest.size() : rest.rfind(',', kSetLength);
        if (sendOne(View(NewStr(prefix, rest.substr(0, len), suffix))) != 0) return -1;
        rest.remove_prefix(std::min(rest.size(), len + 1));
    }
    return 0;
}

// Flags the queued UIDs \Seen \Deleted (\Seen as a fetch without peek would have set
// it) without waiting: a fetch sent ahead may stand before the results, which are read
// by whichever read meets them.
int flagQueued(ImapClient& imap) {
    if (imap.queued == 0) return 0;
    if (imap.aheadUid.empty() && std::count(imap.owedTags.begin(), imap.owedTags.end(), ' ') >= kOwedStores) {
        while (!imap.owedTags.empty())
            if (readLine(imap) < 0) return -1;
    }
    int rc = eachSetCommand("UID STORE ", View(imap.queuedUids), kDeleteFlags, [&](std::string_view text) {
        Str tag = send(imap, text);
        imap.owedTags.append(tag);
        return tag.empty() ? -1 : 0;
    });
    if (rc != 0) return -1;
    if (!imap.flaggedUids.empty()) imap.flaggedUids.push_back(',');
    imap.flaggedUids.append(imap.queuedUids);
    imap.queuedUids.clear();
    imap.queued = 0;
    return 0;
}

// True, with the connection closed and the texts set, when the UID would not fit the
// fetch command's line.
bool fetchRefused(ImapClient& imap, std::string_view uid) {
    if (!unsafeCommandArg(uid, argRoom("UID FETCH  BODY.PEEK[]"))) return false;
    bSocket_refuseArgument(imap.socket, "message UID");
    return true;
}

Str fetchCommand(const ImapClient& imap, std::string_view uid) {
    return NewStr("UID FETCH ", uid, imap.peek ? " BODY.PEEK[]" : " RFC822");
}

} // namespace

Owned<ImapClient> imap_construct() {
    DebugTag tag("IMAP Constructor");
    return makeTracked<ImapClient>();
}

int imap_connect(ImapClient& imap, std::string_view server, std::string_view credentials, std::string_view serverName,
                 int useTLS) {
    DebugTag tag("IMAP.imap_connect");
    Str host;
    splitServer(server, host, imap.port, useTLS ? 993 : 143);
    bSocket_initSocket(imap.socket, View(host), imap.port, serverName, useTLS);
    // Nothing is queued or owed on a new connection, whatever the last one left.
    Str().swap(imap.queuedUids);
    Str().swap(imap.flaggedUids);
    Str().swap(imap.owedTags);
    Str().swap(imap.aheadUid);
    imap.queued = 0;
    Str user = NthField(credentials, ":", 1);
    Str pass = NthField(credentials, ":", 2);
    if (unsafeCommandArg(View(user), kCredentialRoom)) {
        bSocket_refuseArgument(imap.socket, "user name");
        return -1;
    }
    if (unsafeCommandArg(View(pass), kCredentialRoom - user.size())) {
        bSocket_refuseArgument(imap.socket, "password");
        return -1;
    }
    debugLog("IMAP address is %s, port is %i", host.c_str(), imap.port);
    if (bSocket_connectSocket(imap.socket) != 0) return -1;
    if (bSocket_readLn(imap.socket) < 0) return -1;
    traceIn(View(imap.socket.line));
    if (strcmpi(View(field(View(imap.socket.line), 2)), "OK") != 0) {
        bSocket_serverError(imap.socket);
        return -1;
    }
    imap.authPlain = imap.unselect = imap.uidPlus = 0;
    noteCapabilities(imap, View(imap.socket.line));
    auto capabilities = [&](std::string_view line) {
        noteCapabilities(imap, line);
        return true;
    };

    if (command(imap, "CAPABILITY") != 0 || finish(imap, capabilities) != 0) return -1;

    if (imap.authPlain) {
        if (command(imap, "AUTHENTICATE PLAIN") != 0) return -1;
        if (bSocket_readLn(imap.socket) < 0) return -1;
        traceIn(View(imap.socket.line));
        if (imap.socket.line[0] != '+') {
            bSocket_serverError(imap.socket);
            return -1;
        }
        Str plain;
        plain.push_back('\0');
        plain.append(user);
        plain.push_back('\0');
        plain.append(pass);
        if (sendLine(imap, View(Base64_Encode(View(plain))), "********") != 0) return -1;
    } else if (command(imap, View(NewStr("LOGIN ", user, " ")), View(pass)) != 0) {
        return -1;
    }
    if (finish(imap, capabilities) != 0) return -1;
    noteCapabilities(imap, View(imap.socket.line));

    if (command(imap, "SELECT INBOX") != 0) return -1;
    imap.exists = 0;
    return finish(imap, [&](std::string_view line) {
        if (!isUntagged(line) || strcmpi(View(field(line, 3)), "EXISTS") != 0) return true;
        long n = number(View(field(line, 2)));
        imap.exists = n >= 0 && n <= INT_MAX ? static_cast<int>(n) : 0;
        return true;
    });
}

int imap_uidl(ImapClient& imap) {
    DebugTag tag("IMAP.imap_uidl");
    Str().swap(imap.text);
    imap.text.reserve(kListCapacity);
    if (imap.exists == 0) return 0;
    if (command(imap, "FETCH 1:* UID") != 0) return -1;
    const bSocketLimits& limits = imap.socket.limits;
    size_t lines = 0;
    return finish(imap, [&](std::string_view line) {
        if (++lines > limits.maxListEntries) {
            bSocket_fail(imap.socket, "The server's message list is longer than the agent accepts.");
            return false;
        }
        if (InStr(1, line, "\\Deleted") != 0) return true;
        Str uid = uidItem(line);
        if (uid.empty()) return true;
        if (imap.text.size() + uid.size() + 2 > limits.maxListBytes) {
            bSocket_fail(imap.socket, "The server's message list is longer than the agent accepts.");
            return false;
        }
        imap.text.append(uid);
        imap.text.append("\r\n");
        return true;
    });
}

int imap_getOpen(ImapClient& imap, std::string_view uid) {
    DebugTag tag("IMAP.imap_getOpen");
    if (!imap.aheadUid.empty()) {
        imap.tag.swap(imap.aheadTag);
        imap.aheadUid.clear();
    } else if (fetchRefused(imap, uid) || command(imap, View(fetchCommand(imap, uid))) != 0) {
        return -1;
    }
    // The answer names the literal "RFC822", or "BODY[]" for a peek.
    std::string_view item = imap.peek ? "BODY[]" : "RFC822";
    while (true) {
        int read = readLine(imap);
        if (read < 0) return -1;
        if (read == 0) continue;
        std::string_view line = View(imap.socket.line);
        if (isTagged(imap, line)) { // answered without the message
            bSocket_serverError(imap.socket);
            return -1;
        }
        // Unsolicited FETCH lines (another client changed flags) carry no message item.
        if (!isUntagged(line) || InStr(1, line, " FETCH ") == 0 || InStr(1, line, item) == 0) continue;
        imap.messageLength = literalSize(line);
        debugLog("msgLen: %li", imap.messageLength);
        if (imap.messageLength >= 0) {
            imap.endOfMessage = 0;
            imap.bytesRead = 0;
            return 0;
        }
        imap.socket.errorText = NewStr("Error found in ", View(imap.socket.serverName), " server data:");
        imap.socket.errorDetail = NewStr("Message length not found in message header.\r\n", withoutCrLf(line));
        bSocket_closeSocket(imap.socket);
        return -1;
    }
}

long imap_getText(ImapClient& imap) {
    DebugTag tag("IMAP.imap_getText");
    resetBuffer(imap.text, kPieceCapacity);
    if (imap.endOfMessage) return 0;
    // The literal's size is known, so it is read by byte count: its lines may have any
    // length, and a literal that ends inside a line leaves the rest of the FETCH
    // response on the connection.
    while (imap.text.size() < kPiece && imap.bytesRead < imap.messageLength) {
        size_t left = static_cast<size_t>(imap.messageLength - imap.bytesRead);
        long n = bSocket_readBytes(imap.socket, std::min(kPiece - imap.text.size(), left));
        if (n < 0) return -1;
        imap.text.append(imap.socket.line);
        imap.bytesRead += n;
    }
    debugLog("IMAP->%i bytes of message data", static_cast<int>(imap.text.size()));
    if (imap.bytesRead >= imap.messageLength) {
        imap.endOfMessage = 1;
        if (finish(imap) != 0) return -1; // the FETCH response's end and the tagged result
    }
    return static_cast<long>(imap.text.size());
}

int imap_sendAhead(ImapClient& imap, std::string_view uid) {
    DebugTag tag("IMAP.imap_sendAhead");
    if (fetchRefused(imap, uid)) return -1;
    imap.aheadTag = send(imap, View(fetchCommand(imap, uid)));
    if (imap.aheadTag.empty()) return -1;
    imap.aheadUid = ToStr(uid);
    return 0;
}

int imap_delete(ImapClient& imap, std::string_view uid) {
    DebugTag tag("IMAP.imap_delete");
    if (unsafeCommandArg(uid, argRoom("UID STORE ") - kDeleteFlags.size())) {
        bSocket_refuseArgument(imap.socket, "message UID");
        return -1;
    }
    addToSet(imap.queuedUids, uid);
    return ++imap.queued < kDeleteBatch ? 0 : flagQueued(imap);
}

int imap_close(ImapClient& imap) {
    DebugTag tag("IMAP.imap_close");
    if (flagQueued(imap) != 0) return -1;
    if (!imap.flaggedUids.empty() && !imap.uidPlus) {
        // Only CLOSE can remove our messages here, and it takes every flagged one.
        if (command(imap, "CLOSE") != 0 || finish(imap) != 0) return -1;
    } else {
        int rc = eachSetCommand("UID EXPUNGE ", View(imap.flaggedUids), "", [&](std::string_view text) {
            return command(imap, text) != 0 ? -1 : finish(imap);
        });
        if (rc != 0) return -1;
        if (imap.unselect && (command(imap, "UNSELECT") != 0 || finish(imap) != 0)) return -1;
    }
    if (command(imap, "LOGOUT") != 0 || finish(imap) != 0) return -1;
    bSocket_closeSocket(imap.socket);
    return 0;
}
