#include "fuzz_util.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

namespace fuzz {

namespace {

int removeEntry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

void removeScratch() { ::nftw(scratchDir().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

} // namespace

const std::string& scratchDir() {
    static const std::string dir = [] {
        // Memory-backed when possible: the index and settings writes sync every file,
        // which costs a disk wait per execution elsewhere.
        const char* tmp = std::getenv("TARNWELL_FUZZ_TMP");
        if (!tmp || !*tmp) tmp = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarnwell-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit(removeScratch);
        return pattern;
    }();
    return dir;
}

std::string scratch(std::string_view name) { return scratchDir() + "/" + std::string(name); }

void writeFile(const std::string& path, std::string_view data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr, "cannot create a scratch file");
    check(std::fwrite(data.data(), 1, data.size(), f) == data.size(), "cannot write a scratch file");
    std::fclose(f);
}

std::string readFile(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

void emptyDir(const std::string& path) {
    DIR* d = ::opendir(path.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") ::unlink((path + "/" + name).c_str());
    }
    ::closedir(d);
}

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

std::string withoutNuls(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != '\0') out.push_back(c);
    return out;
}

std::string unstuff(std::string_view text) {
    std::string out;
    bool lineStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (lineStart && text[i] == '.') {
            lineStart = false;
            continue;
        }
        out.push_back(text[i]);
        lineStart = text[i] == '\n' && i > 0 && text[i - 1] == '\r';
    }
    return out;
}

std::string crlfLineEnds(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') {
            out.push_back(text[i]);
            continue;
        }
        out.append("\r\n");
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    return out;
}

} // namespace fuzz
