#include "mailbox.h"

#include <cstdio>

#include "globals.h"
#include "log.h"
#include "mailindex.h"
#include "relay.h"
#include "rundriver.h"

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

} // namespace

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
    eachLine(View(listing), [&](std::string_view line) {
        Str id = NthField(line, " ", client.idField);
        Str mark = FindAcct(ix, View(id));
        debugLog("msgID: %s  msgStat: %c", id.c_str(), mark.empty() ? ' ' : mark[0]);
        if (strcmpi(View(mark), "E") == 0) {
            MarkAcct(ix, View(id), "F");
        } else if (strcmpi(View(mark), "X") == 0) {
            ++s.newCount;
            AppendStr(AppendStr(s.msgList, line), "\r\n");
            AddAcct(ix, View(id));
        } else if (strcmpi(View(mark), "C") == 0) {
            AppendStr(AppendStr(cleanup, line), "\r\n");
        }
    });
    mt_globals.indexChanged = 1;

    if (cleanup.empty()) return 0;
    updateStatus(View(row.addr), "Performing message cleanup");
    // All are marked before the first deletion: a clean-up broken off halfway must
    // leave the rest marked too, or the index would drop them and the next attempt
    // would forward them again.
    eachLine(View(cleanup),
             [&](std::string_view line) { MarkAcct(ix, View(NthField(line, " ", client.idField)), "D"); });
    int rc = 0;
    eachLine(View(cleanup), [&](std::string_view line) {
        if (rc < 0) return;
        if (client.remove(s, View(NthField(line, " ", 1))) < 0) rc = client.error(s);
    });
    return rc;
}

int ProcessMailbox(webMail& s, const MailboxClient& client) {
    const AccountRow& row = account();
    mailIndex& ix = *mt_globals.mailIndex;
    // Puts this account's section last in the file, where AppendAcctIndex adds to it.
    bool appendable = s.newCount > 0 && PutAcctIndex(ix) == 0;
    int i = 0, rc = 0;
    eachLine(View(s.msgList), [&](std::string_view line) {
        if (rc < 0) return;
        ++i;
        if (CkStopReq()) {
            rc = -1;
            return;
        }
        Str key = NthField(line, " ", 1), id = NthField(line, " ", client.idField);
        if (client.idField != 1) debugLog("msgNum: %s   msgID: %s", key.c_str(), id.c_str());
        char status[64];
        std::snprintf(status, sizeof status, "Forwarding message %i of %i", i, s.newCount);
        updateStatus(View(row.addr), status);
        if (client.open(s, View(key)) < 0) {
            rc = client.error(s);
            return;
        }
        int sent = ForwardMsg(s, status, [&](std::string_view& chunk) { return client.next(s, chunk); });
        if (sent == -2) rc = client.error(s);
        if (sent < 0) {
            rc = -1;
            return;
        }
        MarkAcct(ix, View(id), "F");
        debugLog("MarkAcct F msgID: %s", id.c_str());
        ++s.fwdCount;
        // Each new mark is recorded at once, not only at the end of the account: a run
        // killed on the way must not forward again what it already forwarded.
        if (StrBool(View(row.leave))) {
            if (appendable) AppendAcctIndex(ix, View(id), "F");
            return;
        }
        std::snprintf(status, sizeof status, "Clearing message %i of %i", i, s.newCount);
        updateStatus(View(row.addr), status);
        debugLog("MarkAcct D msgID: %s", id.c_str());
        MarkAcct(ix, View(id), "D");
        if (appendable) AppendAcctIndex(ix, View(id), "D");
        if (client.remove(s, View(key)) < 0) rc = client.error(s);
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
