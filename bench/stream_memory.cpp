// Peak memory while a 100 MB message is fetched through the POP3 and IMAP clients from
// a private Dovecot, pieces discarded as the relay would pass them on. The peak
// resident size (VmHWM) must stay where it was before the transfers: a client that
// held the message, or let a buffer grow with it, would add about 100 MB.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "dovecot.h"
#include "imap.h"
#include "pop.h"
#include "testca.h"

namespace {

long peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Writes a message of about size bytes with LF line ends, never holding more than a
// line; returns the size Dovecot will serve (CR LF line ends).
long long writeMessage(const std::string& path, long long size) {
    std::ofstream out(path, std::ios::binary);
    long long written = 0, lines = 0;
    std::string line = "Subject: stream memory\n\n";
    for (unsigned i = 0; written < size; ++i) {
        out << line;
        written += static_cast<long long>(line.size());
        lines += std::count(line.begin(), line.end(), '\n');
        line = (i % 9 == 4) ? ".a line that begins with a dot\n" : std::string(1 + (i * 37) % 150, 'a' + i % 26) + "\n";
    }
    return written + lines;
}

struct Result {
    long long bytes = 0;
    long pieces = 0;
    double seconds = 0;
    bool ok = false;
};

Result drain(const std::function<long()>& nextPiece) {
    Result r;
    auto start = std::chrono::steady_clock::now();
    for (long n; (n = nextPiece()) > 0;) {
        r.bytes += n;
        ++r.pieces;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

void report(const char* what, const Result& r, long long expected) {
    std::printf("%-5s %lld bytes in %ld pieces, %.2f s (%.0f MB/s)%s; peak RSS now %ld kB\n", what, r.bytes, r.pieces,
                r.seconds, r.bytes / 1e6 / r.seconds, r.ok && r.bytes == expected ? "" : "  FAILED", peakRssKb());
}

} // namespace

int main() {
    testCerts();
    Dovecot dovecot;
    long long expected;
    {
        TempDir dir;
        expected = writeMessage(dir.file("message"), 100LL << 20);
        dovecot.addMessageFile(dir.file("message"));
    }
    std::string credentials = Dovecot::credentials();

    auto pop = pop_construct();
    auto imap = imap_construct();
    std::printf("message: %lld bytes as served\npeak RSS before: %ld kB\n", expected, peakRssKb());

    Result r;
    if (pop_connect(*pop, "127.0.0.1:" + std::to_string(dovecot.popPort()), credentials, "POP", 0) == 0 &&
        pop_getOpen(*pop, "1") == 0) {
        r = drain([&] { return pop_getText(*pop); });
        r.ok = pop->endOfMessage == 1 && pop_close(*pop) == 0;
    }
    report("POP3", r, expected);

    r = Result();
    if (imap_connect(*imap, "127.0.0.1:" + std::to_string(dovecot.imapPort()), credentials, "IMAP", 0) == 0 &&
        imap_uidl(*imap) == 0 && imap_getOpen(*imap, NthField(View(imap->text), "\r\n", 1)) == 0) {
        r = drain([&] { return imap_getText(*imap); });
        r.ok = imap->endOfMessage == 1 && imap_close(*imap) == 0;
    }
    report("IMAP", r, expected);
    if (!pop->socket.errorDetail.empty() || !imap->socket.errorDetail.empty())
        std::printf("errors: %s / %s\n", pop->socket.errorDetail.c_str(), imap->socket.errorDetail.c_str());
    return 0;
}
