#include "accounts.h"
#include "globals.h"
#include "imap.h"
#include "mailbox.h"
#include "rundriver.h"
#include "services.h"

namespace {

ImapClient& client(webMail& s) { return *s.imapSocket; }

// An IMAP UID is a number; anything else would be sent back in UID commands.
const char* badUid(std::string_view uid) {
    if (!uid.empty() && uid.find_first_not_of("0123456789") == std::string_view::npos) return nullptr;
    return "Its UID is not a number, so it could not be fetched or recorded safely.";
}

const MailboxClient kImap = {
    "ImapMail OpenAccount",
    1,
    badUid,
    [](webMail& s, std::string_view server, std::string_view credentials, std::string_view type, int tls) {
        // Mail that is deleted is fetched without marking it read; the deletion flags it
        // read along with \Deleted, so one flag change per batch is all it costs.
        client(s).peek = StrBool(View(globals.current->leave)) ? 0 : 1;
        return imap_connect(client(s), server, credentials, type, tls);
    },
    [](webMail& s, Str& listing) {
        int rc = imap_uidl(client(s));
        if (rc >= 0) listing = client(s).text; // the client's buffer is reused for the pieces
        return rc;
    },
    [](webMail& s, std::string_view uid) { return imap_getOpen(client(s), uid); },
    [](webMail& s, std::string_view& chunk) {
        long n = imap_getText(client(s));
        if (n > 0) chunk = View(client(s).text);
        return n;
    },
    [](webMail& s, std::string_view uid) { return imap_delete(client(s), uid); },
    nullptr,
    [](webMail& s) { return imap_close(client(s)); },
    [](webMail& s) { return client(s).socket.connected == 1; },
    [](webMail& s) { return ErrorRule(View(client(s).socket.errorText), View(client(s).socket.errorDetail)); },
    nullptr,
    [](webMail& s, std::string_view uid) { return imap_sendAhead(client(s), uid); },
};

int ImapMail_OpenAccount(webMail& s) { return OpenMailbox(s, kImap); }
int ImapMail_ProcessMsg(webMail& s) { return ProcessMailbox(s, kImap); }
int ImapMail_CloseAccount(webMail& s) { return CloseMailbox(s, kImap); }

// The presets connect to their service's server without TLS; leaving mail stays as set.
int presetOpen(webMail& s, std::string_view server) {
    AccountRow& row = *globals.current;
    row.pop = ToStr(server);
    row.secure = ToStr("0");
    return ImapMail_OpenAccount(s);
}
int AolMail_OpenAccount(webMail& s) { return presetOpen(s, kAolImapServer); }
int NetscapeMail_OpenAccount(webMail& s) { return presetOpen(s, kNetscapeImapServer); }

void install(webMail& s, AccountEntry open) {
    s.OpenAccount = open;
    s.ProcessMsg = ImapMail_ProcessMsg;
    s.CloseAccount = ImapMail_CloseAccount;
}

} // namespace

void ImapMail_Init(webMail& s) { install(s, ImapMail_OpenAccount); }
void AolMail_Init(webMail& s) { install(s, AolMail_OpenAccount); }
void NetscapeMail_Init(webMail& s) { install(s, NetscapeMail_OpenAccount); }
