#include "relay.h"

#include <cstdio>

#include "globals.h"
#include "log.h"
#include "rundriver.h"
#include "smtp.h"

namespace {

// A body line without CR LF is broken into segments once it holds this much, so a
// message of one enormous line still passes with bounded memory.
constexpr size_t kLongLineHold = 65536;

bool checkedHeader(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view name = line.substr(0, colon);
    for (std::string_view h : {"From", "To", "Cc", "Reply-To"})
        if (strcmpi(name, h) == 0) return true;
    return false;
}

// Appends line to out with a CR LF inserted wherever a segment would pass 1000
// characters (CR LF counted): before the last blank at columns 2 to 999, else after
// the 998th character. A segment that starts with "." counts one more, since the SMTP
// client doubles that dot on the wire. With final false the last, still growing
// segment is left out. Returns how many characters of line were appended.
size_t breakSegments(std::string_view line, Str& out, bool final) {
    size_t emitted = 0, segStart = 0, lastBlank = std::string_view::npos;
    long col = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if (++col > 1000) {
            size_t room = line[segStart] == '.' ? 997 : 998;
            size_t brk = lastBlank != std::string_view::npos ? lastBlank : segStart + room;
            out.append(line.substr(emitted, brk - emitted));
            out.append("\r\n");
            // Counting restarts at 1 with the character after the break, so the new
            // segment is walked again from its start: a line broken while it arrives
            // then gets the same breaks as the whole line.
            emitted = segStart = i = brk;
            col = line[brk] == '.' ? 2 : 1;
            lastBlank = std::string_view::npos;
            continue;
        }
        char c = line[i];
        if (col == 1 && c == '.') ++col;
        if (c == ' ' && col >= 2 && col <= 999) lastBlank = i;
        if (c == '\n' && i > 0 && line[i - 1] == '\r') {
            col = 0;
            segStart = i + 1;
            lastBlank = std::string_view::npos;
        }
    }
    if (final) {
        out.append(line.substr(emitted));
        return line.size();
    }
    return emitted;
}

// Header line to send: "X-Original-" in front when its address list would be refused.
void checkHeader(Str& line) {
    if (!checkedHeader(View(line)) || vfyAddressList(View(line))) return;
    InsertStr(line, 1, "X-Original-");
    debugLog("vfyMailHdr Header modified: %s", line.c_str());
}

int put(webMail& session, std::string_view text) { return smtp_msgPut(*session.smtpSocket, text); }

// A refusal of the message is the caller's to report; anything else breaks the session.
int smtpFailure(SmtpClient& smtp) { return smtp.refused ? kMsgRefused : SmtpError(smtp); }

} // namespace

void InitMsg(webMail& session) {
    session.msgBytes = 0;
    Str().swap(session.relayBuf);
    session.relayBuf.reserve(4096);
    session.hdrDone = 0;
    Str().swap(session.pendingHdr);
}

bool vfyAddressList(std::string_view headerLine) {
    size_t colon = headerLine.find(':');
    std::string_view list = colon == std::string_view::npos ? std::string_view() : headerLine.substr(colon + 1);
    int before = 0, after = 0, ats = 0;
    bool quoted = false;
    char prev = 0;
    auto accepted = [&] { return (before == 0 && after == 0 && ats == 0) || (ats == 1 && before > 0 && after > 0); };
    auto restart = [&] { before = after = ats = 0; };
    for (char c : list) {
        if (quoted) {
            if (c == '"') quoted = false;
            prev = c;
            continue;
        }
        if (c == '\r' || c == '\n' || c == ' ') continue;
        switch (c) {
        case '"': quoted = true; break;
        case ',':
            if (!accepted()) return false;
            restart();
            break;
        case '<':
            if (ats > 0) return false;
            restart();
            break;
        case '@': ++ats; break;
        case '.':
            if (prev == '.') return false;
            [[fallthrough]];
        default: ++(ats ? after : before);
        }
        prev = c;
    }
    return accepted();
}

void vfyLineLen(Str& line) {
    if (line.size() + (line.starts_with('.') ? 1 : 0) <= 1000) return;
    debugLog("vfyLineLen line gtr then 1000: \r\n%s", line.c_str());
    Str out;
    out.reserve(line.size() + line.size() / 499 + 2);
    breakSegments(View(line), out, true);
    line.swap(out);
}

int SendMsgText(webMail& session, std::string_view text, int flush) {
    if (!globals.smtpVfy) return put(session, text);
    session.relayBuf.append(text);
    Str out;
    if (flush) {
        // A message without a blank line still holds its last header line here, and a
        // continuation of it may follow without a line end.
        if (!session.hdrDone && (session.relayBuf.starts_with(' ') || session.relayBuf.starts_with('\t'))) {
            session.pendingHdr.append(session.relayBuf);
            session.relayBuf.clear();
        }
        if (!session.pendingHdr.empty()) {
            checkHeader(session.pendingHdr);
            out.swap(session.pendingHdr);
        }
        // Without the blank line the unterminated rest is a header line too.
        if (!session.hdrDone) checkHeader(session.relayBuf);
        out.append(session.relayBuf);
        session.relayBuf.clear();
        // The SMTP client ends the last line; that line end counts against the limit.
        bool open = !out.ends_with("\r\n");
        if (open) out.append("\r\n");
        vfyLineLen(out);
        if (open) out.resize(out.size() - 2);
        return put(session, View(out));
    }
    size_t start = 0, at;
    while ((at = session.relayBuf.find("\r\n", start)) != Str::npos) {
        std::string_view newLine = std::string_view(session.relayBuf).substr(start, at + 2 - start);
        start = at + 2;
        Str toSend;
        if (!session.hdrDone) {
            if (newLine[0] == ' ' || newLine[0] == '\t') {
                session.pendingHdr.append(newLine);
                continue;
            }
            toSend.swap(session.pendingHdr);
            session.pendingHdr = ToStr(newLine);
            checkHeader(toSend);
            if (newLine == "\r\n") {
                toSend.append("\r\n");
                session.pendingHdr.clear();
                session.hdrDone = 1;
            }
        } else {
            toSend = ToStr(newLine);
        }
        if (!toSend.empty()) {
            vfyLineLen(toSend);
            out.append(toSend);
        }
    }
    session.relayBuf.erase(0, start);
    if (session.hdrDone && session.relayBuf.size() > kLongLineHold)
        session.relayBuf.erase(0, breakSegments(View(session.relayBuf), out, false));
    // Lines go out together: one write per chunk instead of one per line.
    return out.empty() ? 0 : put(session, View(out));
}

void UpdateStatus(std::string_view text, long bytes) {
    char line[600];
    Str t = ToStr(text);
    std::snprintf(line, sizeof line, "%s  (%liK sent)", t.c_str(), bytes / 1024);
    updateStatus(View(acctAddr()), line);
}

Str GetPassWord(int kind) {
    const AccountRow* row = globals.current;
    if (!row) return ToStr(":");
    return NewStr(View(kind == 1 ? row->addr : row->user), ":", View(row->pass));
}

int ForwardMsg(webMail& session, std::string_view statusText, const ChunkSource& nextChunk) {
    InitMsg(session);
    const AccountRow* row = globals.current;
    const Str& sender = globals.smtpFrom.empty() ? acctAddr() : globals.smtpFrom;
    const Str& fwd = row ? row->fwd : globals.dftFwd;
    const Str& recipient = (fwd.empty() || strcmpi(View(fwd), "(default)") == 0) ? globals.dftFwd : fwd;
    debugLog("Sender: %s  Recipient: %s", sender.c_str(), recipient.c_str());
    SmtpClient& smtp = *session.smtpSocket;
    if (smtp_msgOpen(smtp, View(sender), View(recipient)) < 0) return smtpFailure(smtp);
    while (true) {
        std::string_view chunk;
        long n = nextChunk(chunk);
        if (n < 0) return kSourceFailed;
        if (n == 0) break;
        session.msgBytes += n;
        if (SendMsgText(session, chunk, 0) < 0) return SmtpError(smtp);
        UpdateStatus(statusText, session.msgBytes);
    }
    if (globals.smtpVfy && (!session.relayBuf.empty() || !session.pendingHdr.empty()) && SendMsgText(session, "", 1) < 0)
        return SmtpError(smtp);
    if (smtp_msgClose(smtp) < 0) return smtpFailure(smtp);
    return 0;
}

int OpenSMTP(SmtpClient& smtp) {
    if (smtp_connect(smtp, View(globals.smtpHost), View(globals.smtpAuth), View(globals.smtpLogin),
                     globals.smtpSecure) < 0)
        return SmtpError(smtp);
    return 0;
}
