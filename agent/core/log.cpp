#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "globals.h"
#include "ownfile.h"
#include "rundriver.h"

namespace {

Str& errorLogPath() {
    static Str path;
    return path;
}

void writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t w = ::write(fd, data, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        data += w;
        len -= static_cast<size_t>(w);
    }
}

// Tabs and line ends inside a field would break the reader's line and field split.
Str statusField(std::string_view text) {
    Str out = ToStr(text);
    std::replace_if(out.begin(), out.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
    return out;
}

} // namespace

void stdLog(const char* format, ...) {
    int savedErrno = errno;
    char buf[8192];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, 8191, format, ap);
    va_end(ap);
    if (n >= 0) std::fprintf(stderr, "%s\n", buf);
    errno = savedErrno;
}

void logMsg(std::string_view text) {
    Str block = NewStr("   -----\n", getDateTimeStr(), "\n", text, "\n-----");
    ReplaceAll(block, "\n", "\n   ");
    std::fwrite(block.data(), 1, block.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

Str getDateTimeStr() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &local);
    return Str(buf, n);
}

// Swapped, not assigned: an empty path must give the block back for the audit.
void errorLogSetPath(std::string_view path) { ToStr(path).swap(errorLogPath()); }

void errorLog(const char* format, ...) {
    if (errorLogPath().empty()) return;
    int savedErrno = errno;
    static char buf[49152];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, 49148, format, ap);
    va_end(ap);
    if (n >= 0) {
        size_t len = std::min<size_t>(static_cast<size_t>(n), 49147);
        buf[len++] = '\n';
        int fd = openOwnFile(errorLogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        if (fd >= 0) {
            writeAll(fd, buf, len);
            ::close(fd);
        }
    }
    errno = savedErrno;
}

void resizeLog(std::string_view path, long limit) {
    Str p = ToStr(path);
    int fd = openOwnFile(p.c_str(), O_RDWR);
    if (fd < 0) return;
    struct stat st {};
    if (limit >= 0 && ::fstat(fd, &st) == 0 && st.st_size >= limit) {
        // Move the tail to the front in place: the file may already be open for
        // appending (standard error), so it must stay the same file.
        off_t from = st.st_size - limit, to = 0;
        char buf[65536];
        bool ok = true;
        while (ok && to < limit) {
            size_t want = static_cast<size_t>(std::min<off_t>(sizeof buf, limit - to));
            ssize_t r = ::pread(fd, buf, want, from);
            ok = r > 0 && ::pwrite(fd, buf, static_cast<size_t>(r), to) == r;
            from += r;
            to += r;
        }
        if (ok) (void)::ftruncate(fd, limit);
    }
    ::close(fd);
}

void updateStatus(std::string_view account, std::string_view message) {
    Str a = statusField(account), m = statusField(message);
    // Cleared before writing: a reader that asks again as soon as it reads this line
    // must not have its request wiped out afterwards.
    globals.statusRequested = 0;
    std::fprintf(stdout, "updateStatus\t%s\t%s\n", a.c_str(), m.c_str());
    std::fflush(stdout);
    globals.lastStatusAccount = a;
    globals.lastStatusMessage = m;
}

void updateSummary(std::string_view text) {
    Str t = statusField(text);
    std::fprintf(stdout, "updateSummary\t%s\n", t.c_str());
    std::fflush(stdout);
    stdLog("%s", Str(text).c_str());
}

int CkStopReq() {
    if (globals.statusRequested == 1) {
        debugLog("Status request received");
        Str account = globals.lastStatusAccount, message = globals.lastStatusMessage;
        updateStatus(account, message);
    }
    if (globals.stopRequested == 1) {
        debugLog("Stop request received");
        updateStatus("None", "Stopped");
        stdLog("Tarnwell run canceled by user request");
    }
    return globals.stopRequested;
}

int ShowAlert(std::string_view kind, std::string_view message, std::string_view explanation) {
    Str msg = ToStr(message), expl = ToStr(explanation);
    debugLog("Error: %s\r\nExpl: %s", msg.c_str(), expl.c_str());
    if (globals.runActive != 1) return 1;
    const char* action = "Continue";
    bool note = strcmpi(kind, "Note") == 0;
    if (!note) {
        globals.acctErrorCount += 1;
        if (globals.acctErrorCount == 0) {
            action = "Cancel";
        } else if (globals.acctErrorCount == 1) {
            action = "Retry account";
            mt_globals.acctsRetried += 1;
        } else {
            action = "Skip to next account";
            mt_globals.acctsRetried -= 1;
            mt_globals.acctsSkipped += 1;
        }
    }
    Str text = NewStr("Account: ", acctAddr(), "\r\nStatus: ", globals.lastStatusMessage, "\r\nMessage: ", msg,
                      "\r\n", expl, "\r\nAction: ", action);
    logMsg(text);
    debugLog("%s", text.c_str());
    return (!note && globals.acctErrorCount == 1) ? 3 : 1;
}
