#include "smtp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "base64.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string_view withoutCrLf(std::string_view line) {
    return line.size() >= 2 && line.substr(line.size() - 2) == kCrLf ? line.substr(0, line.size() - 2) : line;
}

// Room left for the argument of a command line made of word + argument + rest + CR LF.
constexpr size_t room(std::string_view word, std::string_view rest) {
    return kSmtpCommandLine - word.size() - rest.size() - kCrLf.size();
}

// Raw bytes whose Base64 form still fits a command line of its own.
constexpr size_t kCredentialRoom = (kSmtpCommandLine - 2) / 4 * 3;

// A line that carries a secret is traced masked: the trace keeps the step, not the secret.
enum class Trace { plain, secret };

void traceCommand(std::string_view line, Trace trace = Trace::plain) {
    if (trace == Trace::secret)
        debugLog("SMTP<-********");
    else
        debugLog("SMTP<-%.*s", static_cast<int>(line.size()), line.data());
}

int sendCommand(SmtpClient& smtp, std::string_view line, Trace trace = Trace::plain) {
    traceCommand(line, trace);
    return bSocket_write(smtp.socket, NewStr(line, kCrLf));
}

// What a reply other than the expected one means for the message being sent.
enum class OnRefusal { fail, keepSession };

// Sees the text of each line of an accepted reply after its code and separator.
using ReplyLines = std::function<void(std::string_view text)>;

// Reads one reply, all of its lines ("-" as fourth character announces another); each
// must begin with code, else the server's line becomes the failure's explanation. With
// keepSession a 5xx reply returns -2 and leaves the connection open; the rest of that
// reply is read too, so the next reply read is the next command's.
int readReply(SmtpClient& smtp, std::string_view code, OnRefusal onRefusal = OnRefusal::fail,
              const ReplyLines& eachLine = {}) {
    bSocket& s = smtp.socket;
    int rc = 0;
    while (true) {
        if (bSocket_readLn(s) < 0) return -1;
        std::string_view line = withoutCrLf(View(s.line));
        debugLog("SMTP->%.*s", static_cast<int>(line.size()), line.data());
        if (rc == 0 && line.substr(0, 3) != code) {
            if (onRefusal != OnRefusal::keepSession || !line.starts_with('5')) {
                bSocket_serverError(s);
                return -1;
            }
            s.errorText = NewStr(View(s.serverName), " server returned an error.");
            s.errorDetail = ToStr(line);
            rc = -2;
        }
        if (rc == 0 && eachLine) eachLine(line.substr(std::min<size_t>(line.size(), 4)));
        if (line.size() < 4 || line[3] != '-') return rc;
    }
}

int command(SmtpClient& smtp, std::string_view line, std::string_view code, OnRefusal onRefusal = OnRefusal::fail,
            const ReplyLines& eachLine = {}) {
    if (sendCommand(smtp, line) < 0) return -1;
    return readReply(smtp, code, onRefusal, eachLine);
}

void swapTexts(bSocket& s, Str& text, Str& detail) {
    s.errorText.swap(text);
    s.errorDetail.swap(detail);
}

// The server refused the message for good (rc -2 from readReply): RSET makes the
// session ready for the next message. A server that closed after its refusal shows up
// here, not at the next message, which would then be blamed. The refusal's texts stay.
int refuseMessage(SmtpClient& smtp, int rc) {
    if (rc != -2) return rc;
    smtp.refused = 1;
    Str text = smtp.socket.errorText, detail = smtp.socket.errorDetail;
    // A failed RSET has closed the connection, which is how the caller learns of it.
    command(smtp, "RSET", "250");
    swapTexts(smtp.socket, text, detail);
    return -1;
}

// An operation on a connection an earlier failure closed fails at once; the texts of
// that failure stay, or say the connection is gone when there were none.
bool isOpen(SmtpClient& smtp) {
    if (smtp.socket.connected) return true;
    if (smtp.socket.errorText.empty()) bSocket_write(smtp.socket, {});
    return false;
}

// The integer value of authFlag as atoi reads it; only zero or not matters.
bool wantsAuth(std::string_view authFlag) {
    size_t i = 0;
    while (i < authFlag.size() && (authFlag[i] == ' ' || authFlag[i] == '\t')) ++i;
    if (i < authFlag.size() && (authFlag[i] == '+' || authFlag[i] == '-')) ++i;
    for (; i < authFlag.size() && authFlag[i] >= '0' && authFlag[i] <= '9'; ++i)
        if (authFlag[i] != '0') return true;
    return false;
}

Str literal(int family, const void* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family, address, text, sizeof text)) return Str();
    return family == AF_INET ? NewStr("[", text, "]") : NewStr("[IPv6:", text, "]");
}

// This computer's address literal for HELO/EHLO: the first IPv4 address of the host
// name. When the name does not resolve to one, the local address of the connection
// itself is the truest answer (it is what the server sees); 127.0.0.1 only when even
// that is unknown.
Str localAddressLiteral(const bSocket& s) {
    char name[257] = {};
    if (::gethostname(name, 256) == 0) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
            Str text = literal(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
            ::freeaddrinfo(found);
            if (!text.empty()) return text;
        }
    }
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (s.fd >= 0 && ::getsockname(s.fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        Str text;
        if (local.ss_family == AF_INET)
            text = literal(AF_INET, &reinterpret_cast<const sockaddr_in*>(&local)->sin_addr);
        else if (local.ss_family == AF_INET6)
            text = literal(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&local)->sin6_addr);
        if (!text.empty()) return text;
    }
    return ToStr("[127.0.0.1]");
}

// The blank-trimmed fields of a comma-separated list, in order.
StrArray recipientList(std::string_view recipients) {
    StrArray list;
    while (true) {
        size_t comma = recipients.find(',');
        Str field = ToStr(recipients.substr(0, comma));
        list.push_back(std::move(Trim(field)));
        if (comma == std::string_view::npos) return list;
        recipients.remove_prefix(comma + 1);
    }
}

int writeOut(SmtpClient& smtp) {
    int rc = bSocket_write(smtp.socket, View(smtp.outBuf));
    smtp.outBuf.clear();
    return rc;
}

// With PIPELINING the envelope goes out in one write and its replies are read in order
// behind it: one round trip instead of one per command. Every reply is read, so the next
// command meets its own, and the first refusal names the outcome (-2). DATA joins the
// group only for a single recipient: with several, a refused one beside accepted ones
// makes the server take DATA, and a data phase can only be left with a "." that would
// deliver an empty message to the others; so DATA waits for the replies then.
int openPipelined(SmtpClient& smtp, const StrArray& envelope) {
    bSocket& s = smtp.socket;
    const bool withData = envelope.size() == 2; // MAIL and one RCPT
    Str group;
    auto add = [&group](std::string_view line) {
        traceCommand(line);
        group.append(line).append(kCrLf);
    };
    for (const Str& line : envelope) add(View(line));
    if (withData) add("DATA");
    if (bSocket_write(s, View(group)) < 0) return -1;
    int outcome = 0;
    Str text, detail;
    for (size_t i = 0; i < envelope.size() + (withData ? 1 : 0); ++i) {
        const bool data = i == envelope.size();
        int rc = readReply(smtp, data ? "354" : "250", OnRefusal::keepSession);
        if (rc == -1) return -1;
        if (rc == -2 && outcome == 0) {
            outcome = -2;
            text = s.errorText;
            detail = s.errorDetail;
        }
        if (rc == 0 && data && outcome == -2) {
            // The server disagrees with its own refusal and waits for the text. A lone
            // "." would have it deliver an empty message; ending the connection
            // discards the transaction instead.
            bSocket_fail(s, View(NewStr("The server accepted DATA after refusing the message: ", View(detail))));
            return -1;
        }
    }
    if (outcome == 0) return withData ? 0 : command(smtp, "DATA", "354", OnRefusal::keepSession);
    swapTexts(s, text, detail);
    return -2;
}

} // namespace

Owned<SmtpClient> smtp_construct() { return makeTracked<SmtpClient>(); }

void smtp_stuffText(Str& tail, std::string_view text, Str& out) {
    const char previous = tail.empty() ? '\0' : tail.back();
    auto lineEndBefore = [&](size_t at) {
        char c = at > 0 ? text[at - 1] : previous;
        return c == '\r' || c == '\n';
    };
    size_t copied = 0;
    // Copies text up to at, then adds what replaces text[at] and skips it.
    auto replace = [&](size_t at, std::string_view with) {
        out.append(text.substr(copied, at - copied));
        out.append(with);
        copied = at + 1;
    };
    for (size_t at = text.find_first_of(".\r\n"); at != std::string_view::npos;
         at = text.find_first_of(".\r\n", at + 1)) {
        switch (text[at]) {
        case '.':
            if (lineEndBefore(at)) replace(at, "..");
            break;
        case '\r':
            if (at + 1 == text.size() || text[at + 1] != '\n') replace(at, kCrLf);
            break;
        default: // LF: a pair with the CR before it, the end of a CR already paired, or bare
            if (at == 0 && previous == '\r')
                replace(at, "");
            else if (at == 0 || text[at - 1] != '\r')
                replace(at, kCrLf);
        }
    }
    out.append(text.substr(copied));
    if (!text.empty()) tail.assign(1, text.back());
}

int smtp_connect(SmtpClient& smtp, std::string_view server, std::string_view authFlag, std::string_view credentials,
                 int useTLS) {
    DebugTag tag("smtp.smtp_connect");
    bSocket& s = smtp.socket;
    Str host;
    int port = 0;
    splitServer(server, host, port, useTLS == 1 ? 465 : 25);
    smtp.port = port;
    smtp.refused = 0;
    smtp.pipelining = 0;
    smtp.tail.clear();
    Str().swap(smtp.outBuf);
    bSocket_initSocket(s, View(host), port, "SMTP", useTLS);
    debugLog("SMTP address is %s, port is %i", host.c_str(), port);

    bool auth = wantsAuth(authFlag);
    size_t colon = credentials.find(':');
    std::string_view user = credentials.substr(0, colon);
    std::string_view password;
    if (colon != std::string_view::npos) {
        password = credentials.substr(colon + 1);
        password = password.substr(0, password.find(':'));
    }
    if (auth && unsafeCommandArg(user, kCredentialRoom)) {
        bSocket_refuseArgument(s, "user name");
        return -1;
    }
    if (auth && unsafeCommandArg(password, kCredentialRoom)) {
        bSocket_refuseArgument(s, "password");
        return -1;
    }

    if (bSocket_connectSocket(s) < 0) return -1;
    debug_tag = "smtp.smtp_connect.greeting";
    if (readReply(smtp, "220") < 0) return -1;

    debug_tag = "smtp.smtp_connect.identify";
    Str address = localAddressLiteral(s);
    auto extension = [&smtp](std::string_view text) {
        if (strcmpi(text.substr(0, text.find(' ')), "PIPELINING") == 0) smtp.pipelining = 1;
    };
    int rc = command(smtp, View(NewStr("EHLO ", View(address))), "250", OnRefusal::keepSession, extension);
    if (rc == -2 && auth) {
        // AUTH is an extension: a server that knows no EHLO cannot take it.
        s.errorDetail = NewStr("EHLO, which AUTH LOGIN needs, was refused: ", View(s.errorDetail));
        bSocket_closeSocket(s);
        return -1;
    }
    // A server that predates EHLO refuses it; HELO then works without the extensions.
    if (rc == -2) {
        smtp.pipelining = 0;
        rc = command(smtp, View(NewStr("HELO ", View(address))), "250");
    }
    if (rc < 0) return -1;
    if (command(smtp, "RSET", "250") < 0) return -1;
    if (!auth) return 0;

    debug_tag = "smtp.smtp_connect.login";
    if (command(smtp, "AUTH LOGIN", "334") < 0) return -1;
    if (sendCommand(smtp, View(Base64_Encode(user)), Trace::secret) < 0 || readReply(smtp, "334") < 0) return -1;
    if (sendCommand(smtp, View(Base64_Encode(password)), Trace::secret) < 0) return -1;
    return readReply(smtp, "235");
}

int smtp_msgOpen(SmtpClient& smtp, std::string_view sender, std::string_view recipients) {
    DebugTag tag("smtp.smtp_msgOpen");
    smtp.refused = 0;
    if (!isOpen(smtp)) return -1;
    constexpr std::string_view mailWord = "MAIL FROM:<", rcptWord = "RCPT TO:<";
    if (unsafeCommandArg(sender, room(mailWord, ">"))) {
        bSocket_refuseArgument(smtp.socket, "sender address");
        return -1;
    }
    StrArray list = recipientList(recipients);
    for (const Str& rcpt : list) {
        if (unsafeCommandArg(View(rcpt), room(rcptWord, ">"))) {
            bSocket_refuseArgument(smtp.socket, "recipient address");
            return -1;
        }
    }
    StrArray envelope;
    envelope.push_back(NewStr(mailWord, sender, ">"));
    for (const Str& rcpt : list) envelope.push_back(NewStr(rcptWord, View(rcpt), ">"));
    int rc = 0;
    if (smtp.pipelining) {
        rc = openPipelined(smtp, envelope);
    } else {
        // The first refused command ends the envelope; the rest is not tried.
        for (size_t i = 0; rc == 0 && i < envelope.size(); ++i)
            rc = command(smtp, View(envelope[i]), "250", OnRefusal::keepSession);
        if (rc == 0) rc = command(smtp, "DATA", "354", OnRefusal::keepSession);
    }
    if (rc < 0) return refuseMessage(smtp, rc);
    smtp.tail.assign(kCrLf);
    smtp.outBuf.clear();
    return 0;
}

int smtp_msgPut(SmtpClient& smtp, std::string_view text) {
    if (!isOpen(smtp)) return -1;
    if (smtp.outBuf.capacity() < 2 * kSmtpDataWrite) smtp.outBuf.reserve(2 * kSmtpDataWrite);
    // Stuffing a window at a time keeps the buffer bounded for a piece of any size.
    size_t stuffed = 0;
    for (size_t at = 0; at < text.size(); at += kSmtpDataWrite) {
        size_t before = smtp.outBuf.size();
        smtp_stuffText(smtp.tail, text.substr(at, kSmtpDataWrite), smtp.outBuf);
        stuffed += smtp.outBuf.size() - before;
        if (smtp.outBuf.size() >= kSmtpDataWrite && writeOut(smtp) < 0) return -1;
    }
    debugLog("SMTP<-%i bytes of message data", static_cast<int>(stuffed));
    return 0;
}

int smtp_msgClose(SmtpClient& smtp) {
    DebugTag tag("smtp.smtp_msgClose");
    smtp.refused = 0;
    if (!isOpen(smtp)) return -1;
    // The rest of the text and the end marker go out in one write. A text ending in a
    // CR has already had it sent as CR LF.
    bool lineEnd = smtp.tail.ends_with('\r') || smtp.tail.ends_with('\n');
    smtp.outBuf.append(lineEnd ? ".\r\n" : "\r\n.\r\n");
    debugLog("SMTP<-EOM");
    if (writeOut(smtp) < 0) return -1;
    return refuseMessage(smtp, readReply(smtp, "250", OnRefusal::keepSession));
}

int smtp_close(SmtpClient& smtp) {
    DebugTag tag("smtp.smtp_close");
    if (!isOpen(smtp)) return -1;
    if (command(smtp, "QUIT", "221") < 0) return -1;
    bSocket_closeSocket(smtp.socket);
    return 0;
}
