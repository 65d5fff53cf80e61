#include "mailbox.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "globals.h"
#include "log.h"
#include "mailindex.h"
#include "relay.h"
#include "rundriver.h"
#include "smtp.h"

namespace {

// Calls visit(line) for every CR LF terminated line of text, in order.
template <class Visit>
void eachLine(std::string_view text, Visit visit) {
    size_t start = 0, at;
    while ((at = text.find("\r\n", start)) != std::string_view::npos) {
        visit(text.substr(start, at - start));
        start = at + 2;
    }
}

const AccountRow& account() { return *globals.current; }

// The identifier of a listing line: the line itself, or all of it after the key.
std::string_view idOf(std::string_view line, const MailboxClient& client) {
    if (client.idField == 1) return line;
    size_t blank = line.find(' ');
    return blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
}

// The key a listing line is fetched and deleted by, and the identifier the index keeps.
Str keyOf(std::string_view line, const MailboxClient& client) {
    return client.idField == 1 ? ToStr(line) : NthField(line, " ", 1);
}
Str indexIdOf(std::string_view line, const MailboxClient& client) {
    if (client.indexKey) return ToStr(client.indexKey(line));
    return client.idField == 1 ? ToStr(line) : NthField(line, " ", client.idField);
}

// "Message <i> of <n><rest>".
Str messageOf(int i, int n, const char* rest) {
    char text[96];
    std::snprintf(text, sizeof text, "Message %i of %i%s", i, n, rest);
    return ToStr(text);
}

using IdList = std::vector<std::string_view, TrackedAllocator<std::string_view>>;

// Skips, with a note, each listed message whose identifier the index cannot hold or
// that the server lists more than once (neither copy can be told apart, so none is
// forwarded). Notes are given once per account and run: a retry skips them silently.
class ListingCheck {
public:
    ListingCheck(std::string_view listing, const MailboxClient& client) : client_(client) {
        eachLine(listing, [&](std::string_view line) { sorted_.push_back(idOf(line, client)); });
        count_ = static_cast<int>(sorted_.size());
        std::sort(sorted_.begin(), sorted_.end());
        quiet_ = mt_globals.listingNoted == 1;
        mt_globals.listingNoted = 1;
    }

    // True when the message at position i (from 1) with this identifier is to be used.
    bool usable(int i, std::string_view id) {
        if (const char* why = client_.badId(id)) {
            note(i, why);
            return false;
        }
        auto same = std::equal_range(sorted_.begin(), sorted_.end(), id);
        if (same.second - same.first < 2) return true;
        if (std::find(noted_.begin(), noted_.end(), id) == noted_.end()) {
            noted_.push_back(id);
            note(i, View(NewStr("Its identifier \"", id,
                                "\" is listed more than once by the server, so the mail index could not tell "
                                "the copies apart; none of them is forwarded.")));
        }
        return false;
    }

private:
    void note(int i, std::string_view why) {
        if (!quiet_) ShowAlert("Note", View(messageOf(i, count_, " on the server was skipped.")), why);
    }

    const MailboxClient& client_;
    IdList sorted_, noted_;
    int count_ = 0;
    bool quiet_ = false;
};

// Recording what was forwarded failed: the account stops before it forwards anything
// it could not remember.
int indexError(const Str& failure) {
    return ErrorRule("Forwarded messages cannot be recorded in the mail index.", View(failure));
}

} // namespace

Str ListedMessage(webMail& s, mailIndex& ix, std::string_view id, std::string_view line, Str& cleanup,
                  bool newestFirst) {
    Str mark = FindAcct(ix, id);
    if (strcmpi(View(mark), "E") == 0) {
        MarkAcct(ix, id, "F");
    } else if (strcmpi(View(mark), "X") == 0) {
        ++s.newCount;
        // A listing that runs newest first is gathered back to front, so the oldest is
        // forwarded first.
        if (newestFirst)
            s.msgList.insert(0, View(NewStr(line, "\r\n")));
        else
            AppendStr(AppendStr(s.msgList, line), "\r\n");
        AddAcct(ix, id);
    } else if (strcmpi(View(mark), "C") == 0) {
        AppendStr(AppendStr(cleanup, line), "\r\n");
    }
    return mark;
}

int CleanUp(webMail& s, std::string_view cleanup, const MailboxClient& client) {
    if (cleanup.empty()) return 0;
    updateStatus(View(acctAddr()), "Performing message cleanup");
    // All are marked before the first deletion: a clean-up broken off halfway must
    // leave the rest marked too, or the index would drop them and the next attempt
    // would forward them again.
    mailIndex& ix = *mt_globals.mailIndex;
    eachLine(cleanup, [&](std::string_view line) { MarkAcct(ix, View(indexIdOf(line, client)), "D"); });
    int rc = 0;
    eachLine(cleanup, [&](std::string_view line) {
        if (rc == 0 && client.remove(s, View(keyOf(line, client))) < 0) rc = client.error(s);
    });
    return rc;
}

int OpenMailbox(webMail& s, const MailboxClient& client) {
    if (client.openTrace) debugLog("%s", client.openTrace);
    const AccountRow& row = account();
    Str status = NewStr("Connecting to ", View(row.type), " Server");
    debugLog("%s", status.c_str());
    updateStatus(View(row.addr), View(status));
    Str credentials = GetPassWord(0);
    if (client.connect(s, View(row.pop), View(credentials), View(row.type), StrBool(View(row.secure))) < 0)
        return client.error(s);

    debugLog("Getting mail list");
    updateStatus(View(row.addr), "Getting mail list");
    Str().swap(s.msgList);
    s.newCount = 0;
    Str cleanup, listing;
    if (client.list(s, listing) < 0) return client.error(s);

    debugLog("Number of messages is %i", static_cast<int>(CountFields(View(listing), "\r\n") - 1));
    mailIndex& ix = *mt_globals.mailIndex;
    ListingCheck check(View(listing), client);
    int position = 0;
    eachLine(View(listing), [&](std::string_view line) {
        std::string_view id = idOf(line, client);
        if (!check.usable(++position, id)) return;
        Str mark = ListedMessage(s, ix, id, line, cleanup);
        debugLog("msgID: %.*s  msgStat: %c", static_cast<int>(id.size()), id.data(), mark.empty() ? ' ' : mark[0]);
    });
    mt_globals.indexChanged = 1;
    return CleanUp(s, View(cleanup), client);
}

int ProcessMailbox(webMail& s, const MailboxClient& client) {
    const AccountRow& row = account();
    mailIndex& ix = *mt_globals.mailIndex;
    SmtpClient& smtp = *s.smtpSocket;
    // Nothing is forwarded that could not be recorded: a leaving account would send it
    // again on every run. This also puts the account's section last in the file, where
    // AppendAcctIndex adds to it.
    Str failure;
    if (s.newCount > 0 && PutAcctIndex(ix, &failure) < 0) return indexError(failure);
    int i = 0, rc = 0;
    std::string_view list = View(s.msgList);
    eachLine(list, [&](std::string_view line) {
        if (rc < 0) return;
        ++i;
        if (CkStopReq()) {
            rc = -1;
            return;
        }
        // The line after this one, or "" for the last.
        std::string_view rest = list.substr(static_cast<size_t>(line.data() + line.size() + 2 - list.data()));
        Str nextKey = rest.empty() ? Str() : keyOf(rest.substr(0, rest.find("\r\n")), client);
        Str key = keyOf(line, client), id = indexIdOf(line, client);
        if (client.idField != 1) debugLog("msgNum: %s   msgID: %s", key.c_str(), id.c_str());
        char status[64];
        std::snprintf(status, sizeof status, "Forwarding message %i of %i", i, s.newCount);
        updateStatus(View(row.addr), status);
        if (client.open(s, View(key)) < 0) {
            rc = client.error(s);
            return;
        }
        bool read = false;
        auto source = [&](std::string_view& chunk) {
            long n = client.next(s, chunk);
            read = n == 0;
            // An ahead failure closes the source; the caller reports it as a source failure.
            if (n == 0 && client.ahead && !nextKey.empty() && client.ahead(s, View(nextKey)) < 0) return -1L;
            return n;
        };
        int sent = ForwardMsg(s, status, source);
        if (sent == kSourceFailed) rc = client.error(s);
        if (sent == kMsgRefused) {
            // A refused envelope leaves the message's text on a streaming connection; it is
            // read to its end, a piece at a time, so the next reply read is the next one's.
            std::string_view piece;
            while (client.ahead && !read) {
                if (source(piece) < 0) {
                    rc = client.error(s);
                    return;
                }
            }
            // Left unmarked and on the server: the next run offers it again, and the
            // messages after it go on now.
            ShowAlert("Note", View(messageOf(i, s.newCount, " was refused by the SMTP server.")),
                      View(smtp.socket.errorDetail));
            if (!smtp.socket.connected) rc = OpenSMTP(smtp);
            return;
        }
        if (sent < 0) {
            rc = -1;
            return;
        }
        MarkAcct(ix, View(id), "F");
        debugLog("MarkAcct F msgID: %s", id.c_str());
        ++s.fwdCount;
        // Each new mark is recorded at once, not only at the end of the account: a run
        // killed on the way must not forward again what it already forwarded.
        bool leave = StrBool(View(row.leave));
        if (!leave) {
            std::snprintf(status, sizeof status, "Clearing message %i of %i", i, s.newCount);
            updateStatus(View(row.addr), status);
            debugLog("MarkAcct D msgID: %s", id.c_str());
            MarkAcct(ix, View(id), "D");
        }
        if (AppendAcctIndex(ix, View(id), leave ? "F" : "D", &failure) < 0) {
            rc = indexError(failure);
            return;
        }
        if (!leave && client.remove(s, View(key)) < 0) rc = client.error(s);
        if (leave && client.keep && client.keep(s, View(key)) < 0) rc = client.error(s);
    });
    return rc;
}

int CloseMailbox(webMail& s, const MailboxClient& client) {
    debugLog("Closing account");
    // Deletions are final only once the server has confirmed the end of the session; a
    // session that is already gone leaves them marked for the next run's clean-up.
    if (!client.connected(s)) return 0;
    if (client.close(s) < 0) return client.error(s);
    PurgeDelAcct(*mt_globals.mailIndex);
    return 0;
}
