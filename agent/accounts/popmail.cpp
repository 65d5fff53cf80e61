#include "accounts.h"
#include "globals.h"
#include "mailbox.h"
#include "pop.h"
#include "rundriver.h"
#include "services.h"

namespace {

PopClient& client(webMail& s) { return *s.popSocket; }

// The index line is identifier TAB mark: blanks, tabs, line breaks and other bytes
// outside the printable range would break it or change the identifier on reading.
const char* badUid(std::string_view uid) {
    if (uid.empty()) return "The server gave it no unique identifier, so the mail index could not record it.";
    for (unsigned char c : uid)
        if (c < 0x21 || c > 0x7E)
            return "Its unique identifier contains a blank, tab, line break or other character outside the "
                   "printable range, so the mail index could not record it.";
    return nullptr;
}

const MailboxClient kPop = {
    nullptr,
    2,
    badUid,
    [](webMail& s, std::string_view server, std::string_view credentials, std::string_view type, int tls) {
        return pop_connect(client(s), server, credentials, type, tls);
    },
    [](webMail& s, Str& listing) {
        int rc = pop_uidl(client(s));
        if (rc >= 0) listing = client(s).text; // the client's buffer is reused for the pieces
        return rc;
    },
    [](webMail& s, std::string_view key) { return pop_getOpen(client(s), key); },
    [](webMail& s, std::string_view& chunk) {
        long n = pop_getText(client(s));
        if (n > 0) chunk = View(client(s).text);
        return n;
    },
    [](webMail& s, std::string_view key) { return pop_delete(client(s), key); },
    nullptr,
    [](webMail& s) { return pop_close(client(s)); },
    [](webMail& s) { return client(s).socket.connected == 1; },
    [](webMail& s) { return ErrorRule(View(client(s).socket.errorText), View(client(s).socket.errorDetail)); },
    nullptr,
    [](webMail& s, std::string_view key) { return pop_sendAhead(client(s), key); },
};

int PopMail_OpenAccount(webMail& s) { return OpenMailbox(s, kPop); }
int PopMail_ProcessMsg(webMail& s) { return ProcessMailbox(s, kPop); }
int PopMail_CloseAccount(webMail& s) { return CloseMailbox(s, kPop); }

// Gmail: its own POP3 server over TLS, and mail always left on the server.
int GmailMail_OpenAccount(webMail& s) {
    AccountRow& row = *globals.current;
    row.pop = ToStr(kGmailPopServer);
    row.secure = ToStr("-1");
    row.leave = ToStr("-1");
    return PopMail_OpenAccount(s);
}

} // namespace

void PopMail_Init(webMail& s) {
    s.OpenAccount = PopMail_OpenAccount;
    s.ProcessMsg = PopMail_ProcessMsg;
    s.CloseAccount = PopMail_CloseAccount;
}

void GmailMail_Init(webMail& s) {
    s.OpenAccount = GmailMail_OpenAccount;
    s.ProcessMsg = PopMail_ProcessMsg;
    s.CloseAccount = PopMail_CloseAccount;
}
