#include "mem.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <list>
#include <unistd.h>
#include <unordered_map>

#include "ownfile.h"

int debugReq = 0;
const char* debug_tag = "";

namespace {

struct BlockRec {
    void* block;
    const char* tag;
    size_t size;
};

// The bookkeeping uses the system allocator, never the tracked one. The list keeps
// allocation order for the audit; the map makes release O(1) instead of a list walk.
struct BlockList {
    std::list<BlockRec> order;
    std::unordered_map<void*, std::list<BlockRec>::iterator> where;
};

BlockList& blocks() {
    static BlockList list;
    return list;
}

std::string& tracePath() {
    static std::string path;
    return path;
}

void addRecord(void* block, size_t size) {
    BlockList& b = blocks();
    b.order.push_back({block, debug_tag, size});
    b.where[block] = std::prev(b.order.end());
}

bool removeRecord(void* block) {
    BlockList& b = blocks();
    auto it = b.where.find(block);
    if (it == b.where.end()) return false;
    b.order.erase(it->second);
    b.where.erase(it);
    return true;
}

} // namespace

void* mem_alloc(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) {
        debugLog("Memory allocation failed - %s", debug_tag);
        return nullptr;
    }
    if (debugReq) addRecord(p, size);
    return p;
}

void* mem_realloc(void* block, size_t size) {
    if (debugReq && block) removeRecord(block);
    void* p = std::realloc(block, size ? size : 1);
    if (!p) {
        debugLog("Memory reallocation failed - %s", debug_tag);
        // The old block is still live; keep it visible to the audit.
        if (debugReq && block) addRecord(block, 0);
        return nullptr;
    }
    if (debugReq) addRecord(p, size);
    return p;
}

void mem_free(void* block) {
    if (!block) {
        debugLog("Freeing null pointer - %s", debug_tag);
        return;
    }
    if (debugReq && !removeRecord(block)) debugLog("Freeing unassigned pointer: %p - %s", block, debug_tag);
    std::free(block);
}

int mem_alloc_ctr() { return static_cast<int>(blocks().order.size()); }

void mem_audit() {
    debugLog("Memory allocation count: %i", mem_alloc_ctr());
    for (const BlockRec& r : blocks().order) {
        debugLog("Memory block: %p  tag: %s  size: %i", r.block, r.tag, static_cast<int>(r.size));
        debugPrintHex(r.block, r.size < 64 ? r.size : 64);
    }
}

void debugLogSetPath(std::string path) { tracePath() = std::move(path); }

const std::string& debugLogPath() { return tracePath(); }

void debugLog(const char* format, ...) {
    if (!debugReq || tracePath().empty()) return;
    int savedErrno = errno;
    char buf[8192];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf - 4, format, ap);
    va_end(ap);
    size_t len = n < 0 ? 0 : (static_cast<size_t>(n) > sizeof buf - 5 ? sizeof buf - 5 : static_cast<size_t>(n));
    buf[len++] = '\r';
    buf[len++] = '\n';
    int fd = openOwnFile(tracePath().c_str(), O_WRONLY | O_APPEND | O_CREAT);
    if (fd >= 0) {
        size_t off = 0;
        while (off < len) {
            ssize_t w = ::write(fd, buf + off, len - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            off += static_cast<size_t>(w);
        }
        ::close(fd);
    }
    errno = savedErrno;
}

void debugPrintHex(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t off = 0; off < length; off += 16) {
        char line[128];
        int pos = std::snprintf(line, sizeof line, "%04zx  ", off);
        size_t count = length - off < 16 ? length - off : 16;
        for (size_t i = 0; i < 16; ++i) {
            if (i < count)
                pos += std::snprintf(line + pos, sizeof line - pos, "%02x ", bytes[off + i]);
            else
                pos += std::snprintf(line + pos, sizeof line - pos, "   ");
        }
        line[pos++] = ' ';
        for (size_t i = 0; i < count; ++i) {
            unsigned char c = bytes[off + i];
            line[pos++] = (c >= ' ' && c <= '~' && c != '%') ? static_cast<char>(c) : '.';
        }
        line[pos] = '\0';
        debugLog("%s", line);
    }
}
