#include "seqfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ownfile.h"

Owned<seqFile> seqFile_construct() {
    auto f = makeTracked<seqFile>();
    f->rec.reserve(1024);
    return f;
}

void seqFile_error(seqFile& f, int number) { f.errText = ToStr(std::strerror(number)); }

int seqFile_openInput(seqFile& f, std::string_view path) {
    f.path = ToStr(path);
    f.rec.clear();
    f.atEnd = 0;
    f.file.reset(std::fopen(f.path.c_str(), "re"));
    if (!f.file) {
        int e = errno;
        seqFile_error(f, e);
        debugLog("seqFile_openInput.fopen  error: %i-%s  path: %s", e, f.errText.c_str(), f.path.c_str());
        return -1;
    }
    return 0;
}

namespace {

// Gives the open descriptor (or the failure in errno when fd is -1) to f.
int attachOutput(seqFile& f, int fd, const char* step) {
    f.rec.clear();
    f.atEnd = 0;
    f.file.reset();
    if (fd >= 0) {
        f.file.reset(::fdopen(fd, "w"));
        if (!f.file) ::close(fd);
    }
    if (!f.file) {
        int e = errno;
        seqFile_error(f, e);
        debugLog("%s  error: %i-%s  path: %s", step, e, f.errText.c_str(), f.path.c_str());
        errno = e;
        return -1;
    }
    return 0;
}

} // namespace

int seqFile_openOutput(seqFile& f, std::string_view path) {
    f.path = ToStr(path);
    return attachOutput(f, openOwnFile(f.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC), "seqFile_openOutput.fopen");
}

int seqFile_createOutput(seqFile& f, std::string_view path, bool unique) {
    f.path = ToStr(path);
    int fd = unique ? ::mkostemp(f.path.data(), O_CLOEXEC)
                    : ::open(f.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return attachOutput(f, fd, "seqFile_createOutput.open");
}

int seqFile_readRec(seqFile& f) {
    f.rec.clear();
    if (!f.file) return -1;
    FILE* fp = f.file.get();
    char piece[1024];
    bool gotAny = false;
    // Pieces of up to 1023 bytes; getc-level reading keeps NUL bytes that fgets would lose.
    while (true) {
        size_t n = 0;
        int c = 0;
        while (n < sizeof piece - 1 && (c = getc_unlocked(fp)) != EOF) {
            if (c == '\n') break;
            piece[n++] = static_cast<char>(c);
        }
        f.rec.append(piece, n);
        gotAny = gotAny || n > 0 || c == '\n';
        if (c == '\n') return 0;
        if (c == EOF) {
            if (std::ferror(fp)) {
                debugLog("SeqFile Error");
                return -1;
            }
            if (gotAny) return 0;
            f.atEnd = 1;
            return -1;
        }
    }
}

int seqFile_writeRec(seqFile& f) {
    if (!f.file) return -1;
    bool ok = std::fwrite(f.rec.data(), 1, f.rec.size(), f.file.get()) == f.rec.size() &&
              std::fputc('\n', f.file.get()) != EOF;
    f.rec.clear();
    return ok ? 0 : -1;
}

int seqFile_sync(seqFile& f) {
    if (!f.file) return -1;
    if (std::fflush(f.file.get()) != 0) return -1;
    return ::fsync(fileno(f.file.get())) == 0 ? 0 : -1;
}

int seqFile_close(seqFile& f) {
    if (!f.file) return -1;
    int rc = std::fclose(f.file.release());
    return rc == 0 ? 0 : -1;
}
