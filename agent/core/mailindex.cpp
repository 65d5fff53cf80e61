#include "mailindex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base64.h"
#include "globals.h"
#include "log.h"
#include "seqfile.h"

namespace {

// The new index is written beside the old one so that the rename stays in one folder.
constexpr std::string_view kCopySuffix = " copy";

// Item lines always hold a tab, so an identifier that happens to begin with "[" is never
// taken for a header.
bool isHeader(std::string_view rec) {
    return !rec.empty() && rec.front() == '[' && rec.find('\t') == std::string_view::npos;
}

// The address a header names: its Base64 text between the first and the last character,
// decoded. Damaged Base64 decodes to what came before the damage, or to nothing.
Str headerAddress(std::string_view rec) {
    return Base64_Decode_rLen(rec.size() >= 2 ? rec.substr(1, rec.size() - 2) : std::string_view());
}

bool isMark(const Str& mark, std::string_view m) { return strcmpi(View(mark), m) == 0; }

// An identifier with a line end would read back as more than one line (a forged line,
// perhaps a header); it cannot be remembered safely, so the message is simply seen as
// new next time.
bool storable(std::string_view id) { return id.find_first_of("\r\n") == std::string_view::npos; }

// Hands out the index's lines one at a time. A line ends at LF, CR LF or a lone CR, so
// an index saved with other line ends keeps its sections, and no CR stays behind in an
// identifier or a mark (they compare exactly). What is written back ends in LF alone.
class LineReader {
public:
    explicit LineReader(seqFile& f) : f_(f) {}
    // The next line, valid until the following call; false at the end of the file or on
    // a read error (the file's atEnd tells which).
    bool next(std::string_view& line) {
        if (at_ == kNone) {
            if (seqFile_readRec(f_) != 0) return false;
            at_ = 0;
        }
        const std::string_view rec = View(f_.rec);
        const size_t cr = rec.find('\r', at_);
        line = rec.substr(at_, cr == kNone ? kNone : cr - at_);
        at_ = cr == kNone || cr + 1 == rec.size() ? kNone : cr + 1;
        return true;
    }

private:
    static constexpr size_t kNone = std::string_view::npos;
    seqFile& f_;
    size_t at_ = kNone; // start of the next line in the record, kNone when it is used up
};

// The hash table: open addressing with linear probing, a power of two in size and at
// most half full. Only the first entry of an identifier is entered, and entries are never
// removed (a confirmed deletion only changes its mark), so a slot stays valid until the
// section is loaded again.
constexpr size_t kFirstSlots = 64;

size_t slotMask(const mailIndex& ix) { return ix.firstEntry.size() - 1; }

size_t homeSlot(const mailIndex& ix, std::string_view id) {
    return std::hash<std::string_view>{}(id) & slotMask(ix);
}

// The slot holding the first entry with that identifier, or the empty slot where it
// belongs.
size_t probe(const mailIndex& ix, std::string_view id) {
    size_t s = homeSlot(ix, id);
    while (ix.firstEntry[s] != 0 && View(ix.msgIds[ix.firstEntry[s] - 1]) != id) s = (s + 1) & slotMask(ix);
    return s;
}

long findEntry(const mailIndex& ix, std::string_view id) {
    if (ix.firstEntry.empty()) return -1;
    const uint32_t entry = ix.firstEntry[probe(ix, id)];
    return entry == 0 ? -1 : static_cast<long>(entry - 1);
}

// Enters msgIds[pos] unless an earlier entry holds the same identifier.
void enterEntry(mailIndex& ix, size_t pos) {
    const size_t s = probe(ix, View(ix.msgIds[pos]));
    if (ix.firstEntry[s] == 0) ix.firstEntry[s] = static_cast<uint32_t>(pos + 1);
}

// Appends an entry, doubling the table (entered again in file order, so the first of
// equal identifiers keeps its place) when it would be more than half full.
void appendEntry(mailIndex& ix, Str id, Str mark) {
    ix.msgIds.push_back(std::move(id));
    ix.msgMarks.push_back(std::move(mark));
    const size_t count = ix.msgIds.size();
    if (count * 2 <= ix.firstEntry.size()) {
        enterEntry(ix, count - 1);
        return;
    }
    ix.firstEntry.assign(std::max(kFirstSlots, ix.firstEntry.size() * 2), 0);
    for (size_t pos = 0; pos < count; ++pos) enterEntry(ix, pos);
}

Str describe(const char* what, const Str& path, std::string_view reason) {
    return NewStr(what, " \"", View(path), "\" (", reason, ")");
}

// 1 with the old index open, 0 when there is none yet, -1 when it exists but cannot be
// read: then it must not be replaced, or every other account's section would be lost.
int openOld(seqFile& in, const Str& path, Str& failure) {
    if (seqFile_openInput(in, View(path)) == 0) return 1;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return 0;
    failure = describe("cannot read", path, View(in.errText));
    return -1;
}

// Hands every line of in to copy(); a read error is a failure, since a partial copy
// would drop the rest of the file.
template <class Copy>
void copyLines(seqFile& in, Str& failure, Copy copy) {
    LineReader lines(in);
    std::string_view line;
    while (failure.empty() && lines.next(line)) copy(line);
    if (failure.empty() && !in.atEnd) failure = describe("cannot read", in.path, std::strerror(errno));
    seqFile_close(in);
}

void writeRec(seqFile& out, Str& failure) {
    if (seqFile_writeRec(out) != 0) failure = describe("cannot write", out.path, std::strerror(errno));
}

void syncFolder(std::string_view path) {
    size_t slash = path.rfind('/');
    Str folder = slash == std::string_view::npos ? ToStr(".") : ToStr(path.substr(0, slash == 0 ? 1 : slash));
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

// Puts the complete temporary file in place of the index, or, after any failure, removes
// it and leaves the index untouched. The rename is atomic, so a crash at any point leaves
// either the old index or the new one.
int replaceIndex(seqFile& out, const mailIndex& ix, Str failure, const char* action, Str* reason) {
    const Str tempPath = out.path;
    if (failure.empty() && seqFile_sync(out) != 0) failure = describe("cannot write", tempPath, std::strerror(errno));
    if (seqFile_close(out) != 0 && failure.empty()) failure = describe("cannot write", tempPath, std::strerror(errno));
    if (failure.empty() && ix.beforeReplace) {
        if (int e = ix.beforeReplace()) failure = describe("cannot replace", ix.path, std::strerror(e));
    }
    if (failure.empty() && std::rename(tempPath.c_str(), ix.path.c_str()) != 0)
        failure = describe("cannot replace", ix.path, std::strerror(errno));
    if (failure.empty()) {
        syncFolder(View(ix.path));
        return 0;
    }
    ::unlink(tempPath.c_str());
    stdLog("Mail index could not be %s, the previous index is kept: %s", action, failure.c_str());
    if (reason) *reason = std::move(failure);
    return -1;
}

// A copy left by a crash before the rename may go when it is a plain file of ours;
// anything else under that name (a link, a folder, another user's file) stays.
bool removeLeftover(const Str& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           ::unlink(path.c_str()) == 0;
}

// Creates the temporary file beside the index, always as a new file, so that nothing
// planted under its name (a link to another file) is ever written; when the usual name
// stays taken, a unique one is used. Logs and returns null when that fails.
Owned<seqFile> openTemp(const mailIndex& ix, const char* action, Str* reason) {
    auto out = seqFile_construct();
    const Str usual = NewStr(View(ix.path), kCopySuffix);
    int rc = seqFile_createOutput(*out, View(usual));
    if (rc != 0 && errno == EEXIST) {
        rc = removeLeftover(usual) ? seqFile_createOutput(*out, View(usual)) : -1;
        if (rc != 0) rc = seqFile_createOutput(*out, View(NewStr(View(usual), ".XXXXXX")), true);
    }
    if (rc == 0) return out;
    Str failure = describe("cannot create", out->path, View(out->errText));
    stdLog("Mail index could not be %s, the previous index is kept: %s", action, failure.c_str());
    if (reason) *reason = std::move(failure);
    return nullptr;
}

} // namespace

Owned<mailIndex> mailIndex_construct() {
    DebugTag tag("MailIndex Constructor");
    return makeTracked<mailIndex>();
}

void GetAcctIndex(mailIndex& ix, std::string_view path, std::string_view account) {
    DebugTag tag("MailIndex.GetAcctIndex");
    ix.msgIds.clear();
    ix.msgMarks.clear();
    ix.firstEntry.clear();
    ix.account = ToStr(account);
    ix.path = ToStr(path);
    debugLog("MailIndex.GetAcctIndex File path: %s", ix.path.c_str());
    auto f = seqFile_construct();
    if (seqFile_openInput(*f, path) != 0) return;
    bool inSection = false;
    LineReader lines(*f);
    std::string_view rec;
    while (lines.next(rec)) {
        if (isHeader(rec)) {
            // Only the first section counts; a later duplicate is dropped when written back.
            if (inSection) break;
            inSection = strcmpi(View(headerAddress(rec)), account) == 0;
            continue;
        }
        if (!inSection || rec.find('\t') == std::string_view::npos) continue;
        debugLog("Read MailIndex rec: %s", Str(rec).c_str());
        Str mark = NthField(rec, "\t", 2);
        if (isMark(mark, "F"))
            mark = ToStr("E");
        else if (isMark(mark, "D"))
            mark = ToStr("C");
        appendEntry(ix, NthField(rec, "\t", 1), std::move(mark));
    }
    seqFile_close(*f);
}

Str FindAcct(const mailIndex& ix, std::string_view id) {
    long i = findEntry(ix, id);
    return i < 0 ? ToStr("X") : ix.msgMarks[static_cast<size_t>(i)];
}

void MarkAcct(mailIndex& ix, std::string_view id, std::string_view mark) {
    long i = findEntry(ix, id);
    if (i >= 0) ix.msgMarks[static_cast<size_t>(i)] = ToStr(mark);
}

void AddAcct(mailIndex& ix, std::string_view id) { appendEntry(ix, ToStr(id), ToStr("N")); }

void PurgeDelAcct(mailIndex& ix) {
    for (Str& mark : ix.msgMarks)
        if (isMark(mark, "D")) mark = ToStr("X");
}

int PutAcctIndex(mailIndex& ix, Str* reason) {
    DebugTag tag("MailIndex.PutAcctIndex");
    auto out = openTemp(ix, "updated", reason);
    if (!out) return -1;
    debugLog("MailIndex.PutAcctIndex File path: %s", out->path.c_str());

    Str failure;
    auto in = seqFile_construct();
    if (openOld(*in, ix.path, failure) == 1) {
        bool skipping = false;
        copyLines(*in, failure, [&](std::string_view line) {
            if (isHeader(line)) skipping = strcmpi(View(headerAddress(line)), View(ix.account)) == 0;
            if (skipping) return;
            out->rec.assign(line);
            writeRec(*out, failure);
        });
    }

    if (failure.empty()) {
        StrInit(out->rec, "[", View(Base64_Encode(View(ix.account))), "]");
        writeRec(*out, failure);
    }
    for (size_t i = 0; failure.empty() && i < ix.msgIds.size(); ++i) {
        const Str& id = ix.msgIds[i];
        const char* mark = isMark(ix.msgMarks[i], "F") ? "F" : isMark(ix.msgMarks[i], "D") ? "D" : nullptr;
        if (!mark || !storable(View(id))) continue;
        StrInit(out->rec, View(id), "\t", mark);
        debugLog("Write MailIndex rec: %s", out->rec.c_str());
        writeRec(*out, failure);
    }
    return replaceIndex(*out, ix, std::move(failure), "updated", reason);
}

int AppendAcctIndex(const mailIndex& ix, std::string_view id, std::string_view mark, Str* reason) {
    if (!storable(id)) return 0;
    Str line = NewStr(id, "\t", mark, "\n");
    debugLog("Append MailIndex rec: %s\t%s", Str(id).c_str(), Str(mark).c_str());
    // One write in append mode: a process killed at any moment leaves the line whole or
    // absent. No fsync per message; the end-of-account rewrite is the durable one. A
    // write cut short (a full disk) is taken back, or the next line would join the half
    // written one. A link in the index's place is not written through.
    int fd = ::open(ix.path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    struct stat before {};
    int err = fd < 0 || ::fstat(fd, &before) != 0 ? errno : 0;
    size_t done = 0;
    while (err == 0 && done < line.size()) {
        ssize_t w = ::write(fd, line.data() + done, line.size() - done);
        if (w > 0)
            done += static_cast<size_t>(w);
        else if (w == 0 || errno != EINTR)
            err = w == 0 ? EIO : errno;
    }
    Str failure;
    if (err != 0) failure = describe("cannot append to", ix.path, std::strerror(err));
    if (err != 0 && done > 0 && ::ftruncate(fd, before.st_size) != 0)
        AppendStr(failure, View(NewStr("; the part written could not be taken back (", std::strerror(errno), ")")));
    if (fd >= 0) ::close(fd);
    if (err == 0) return 0;
    stdLog("Mail index could not be updated: %s", failure.c_str());
    if (reason) *reason = std::move(failure);
    return -1;
}

int ReorgIndex(mailIndex& ix, std::string_view path) {
    DebugTag tag("MailIndex.ReorgIndex");
    ix.path = ToStr(path);
    Str failure;
    auto in = seqFile_construct();
    int old = openOld(*in, ix.path, failure);
    if (old == 0) return 0;
    if (old < 0) {
        stdLog("Mail index could not be reorganised, the previous index is kept: %s", failure.c_str());
        return -1;
    }
    auto out = openTemp(ix, "reorganised", nullptr);
    if (!out) {
        seqFile_close(*in);
        return -1;
    }

    bool keeping = false; // lines before the first header belong to no account
    copyLines(*in, failure, [&](std::string_view line) {
        if (isHeader(line)) {
            Str addr = headerAddress(line);
            keeping = false;
            for (const AccountRow& row : globals.accounts) {
                if (row.addr.empty()) break;
                if (strcmpi(View(addr), View(row.addr)) == 0) {
                    keeping = true;
                    break;
                }
            }
        }
        if (!keeping) return;
        out->rec.assign(line);
        writeRec(*out, failure);
    });
    return replaceIndex(*out, ix, std::move(failure), "reorganised", nullptr);
}
