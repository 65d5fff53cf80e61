// An IMAP server's reply stream as any bytes (turns cut at NUL bytes, netshim.h): login
// (PLAIN or LOGIN as the capabilities say), SELECT, the UID list, retrieval of the
// listed messages in pieces, flagging and the close. Promises checked: a message is
// delivered as exactly the literal's bytes, in pieces of 4096 bytes except the last,
// each UID listed is one line of its own, and a session that flagged nothing never
// removes messages.
#include "fuzz_util.h"
#include "imap.h"
#include "netshim.h"

namespace {

constexpr size_t kMaxLine = 8192;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    netshim::play(data, size);
    auto imap = imap_construct();
    imap->socket.limits = {1, 1, 1, 1, kMaxLine};
    bool flagged = false;
    if (imap_connect(*imap, "imap.example.com", "user:secret", "IMAP", 0) == 0 && imap_uidl(*imap) == 0) {
        Str uids = imap->text;
        fuzz::check(uids.empty() || uids.ends_with("\r\n"), "UID list does not end a line");
        for (long n = 1; n <= 3; ++n) {
            Str uid = NthField(View(uids), "\r\n", n);
            if (uid.empty()) break;
            fuzz::check(uid.find_first_of("\r\n") == Str::npos, "UID holds a line break");
            if (imap_getOpen(*imap, View(uid)) != 0) break;
            fuzz::check(imap->messageLength >= 0, "opened without a length");
            long total = 0, got;
            while ((got = imap_getText(*imap)) > 0) {
                fuzz::check(static_cast<size_t>(got) == imap->text.size(), "length is not the piece's");
                total += got;
                fuzz::check(total <= imap->messageLength, "more than the literal delivered");
                fuzz::check(got == 4096 || total == imap->messageLength, "short piece before the end");
            }
            if (got < 0) break;
            fuzz::check(total == imap->messageLength, "message shorter than its literal");
            // The next message's FETCH goes out ahead, as the mailbox module sends it.
            Str next = NthField(View(uids), "\r\n", n + 1);
            if (n < 3 && !next.empty() && imap_sendAhead(*imap, View(next)) != 0) break;
            if (imap_delete(*imap, View(uid)) != 0) break;
            flagged = true;
        }
        imap_close(*imap);
    }
    const std::string& sent = netshim::sent();
    fuzz::check(sent.empty() || sent.ends_with("\r\n"), "a command without its line end");
    fuzz::check(flagged || (sent.find(" CLOSE\r\n") == std::string::npos && sent.find(" EXPUNGE") == std::string::npos),
                "messages removed though none was flagged");
    bSocket_closeSocket(imap->socket);
    netshim::finish();
    return 0;
}
