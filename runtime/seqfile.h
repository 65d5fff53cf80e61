// Sequential record file: a line-oriented text file read or written one record at a
// time. A record is one line without its line feed; a CR before the LF stays in the
// record, and bytes are kept as they are (NUL included), so copying records copies
// the file faithfully.
#pragma once

#include <cstdio>
#include <memory>

#include "tstr.h"

struct FileCloser {
    void operator()(FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct seqFile {
    FilePtr file;
    Str path;
    int atEnd = 0;
    Str rec;
    Str errText;
};

Owned<seqFile> seqFile_construct();
int seqFile_openInput(seqFile& f, std::string_view path);
// Creates or truncates the file, mode 0600 (also when it existed wider): records may
// hold mail metadata. A symbolic link at path is not followed; the open fails.
int seqFile_openOutput(seqFile& f, std::string_view path);
// Creates a new file, mode 0600, and fails (errno EEXIST) when anything is at path
// already, a symbolic link included. With unique, path ends in six "X" that are
// replaced to make a name nobody uses; f.path receives it. -1 leaves errno set.
int seqFile_createOutput(seqFile& f, std::string_view path, bool unique = false);
int seqFile_readRec(seqFile& f);
int seqFile_writeRec(seqFile& f);
inline void seqFile_initRec(seqFile& f) { f.rec.clear(); }
// Flushes the stream and the file's data to disk; used before a file replaces another.
int seqFile_sync(seqFile& f);
int seqFile_close(seqFile& f);
void seqFile_error(seqFile& f, int number);
