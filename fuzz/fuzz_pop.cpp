// A POP3 server's reply stream as any bytes (turns cut at NUL bytes, netshim.h): login,
// UIDL, retrieval of the listed messages in pieces, deletion and QUIT. Promises checked:
// the UID list holds whole lines, a piece ends a line unless it reached 4096 bytes, a
// piece short of 4096 bytes ends the message, a piece stays near its size whatever the
// line lengths, and every command sent is one line.
#include "fuzz_util.h"
#include "netshim.h"
#include "pop.h"

namespace {

constexpr size_t kMaxLine = 8192;

void checkSent() {
    const std::string& sent = netshim::sent();
    fuzz::check(sent.empty() || sent.ends_with("\r\n"), "a command without its line end");
    for (size_t at = sent.find('\n'); at != std::string::npos; at = sent.find('\n', at + 1))
        fuzz::check(at > 0 && sent[at - 1] == '\r', "a bare LF was sent");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    netshim::play(data, size);
    auto pop = pop_construct();
    pop->socket.limits = {1, 1, 1, 1, kMaxLine};
    if (pop_connect(*pop, "pop.example.com", "user:secret", "POP", 0) == 0 && pop_uidl(*pop) == 0) {
        std::string_view list = View(pop->text);
        fuzz::check(list.empty() || list.ends_with("\r\n"), "UID list does not end a line");
        Str numbers = pop->text;
        for (long n = 1; n <= 3; ++n) {
            Str line = NthField(View(numbers), "\r\n", n);
            if (line.empty()) break;
            Str number = NthField(View(line), " ", 1);
            if (pop_getOpen(*pop, View(number)) != 0) break;
            long got;
            while ((got = pop_getText(*pop)) > 0) {
                fuzz::check(static_cast<size_t>(got) == pop->text.size(), "length is not the piece's");
                fuzz::check(pop->text.ends_with("\r\n") || got >= 4096, "short piece cut inside a line");
                fuzz::check(got >= 4096 || pop->endOfMessage, "short piece before the end");
                fuzz::check(pop->text.size() < 2 * 4096, "piece too large");
            }
            if (got < 0) break;
            // The next message's RETR goes out ahead, as the mailbox module sends it.
            Str next = NthField(View(NthField(View(numbers), "\r\n", n + 1)), " ", 1);
            if (n < 3 && !next.empty() && pop_sendAhead(*pop, View(next)) != 0) break;
            if (pop_delete(*pop, View(number)) != 0) break;
        }
        pop_close(*pop);
    }
    checkSent();
    bSocket_closeSocket(pop->socket);
    netshim::finish();
    return 0;
}
