// Tracked memory and the trace log.
//
// Every block of the agent's own code goes through mem_alloc/mem_realloc/mem_free.
// With tracing on (debugReq) each live block is recorded with the debug_tag current
// at allocation, so mem_audit() can name every block that was never released.
// Standard containers reach the same path through TrackedAllocator.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <utility>

extern int debugReq;          // 1 = tracing on; set once at start
extern const char* debug_tag; // current step, "Module.Function.Step"; never freed

void* mem_alloc(size_t size);
void* mem_realloc(void* block, size_t size);
void mem_free(void* block);
void mem_audit();
int mem_alloc_ctr(); // live tracked blocks (only counted while tracing)

// The trace log. debugLog appends one line with CR LF, opening and closing the file
// each time so a crash never loses a written line; errno is preserved. The file is kept
// at mode 0600 and a symbolic link in its place is not written through (see ownfile.h).
void debugLogSetPath(std::string path);
const std::string& debugLogPath();
void debugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debugPrintHex(const void* data, size_t length);

template <class T>
struct TrackedAllocator {
    using value_type = T;
    TrackedAllocator() noexcept = default;
    template <class U>
    TrackedAllocator(const TrackedAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        void* p = mem_alloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { mem_free(p); }
    template <class U>
    bool operator==(const TrackedAllocator<U>&) const noexcept { return true; }
};

// Owning handle for a record allocated on the tracked allocator (the C "_construct"
// result); the deleter is the "_destruct".
template <class T>
struct TrackedDelete {
    void operator()(T* p) const noexcept {
        if (!p) return;
        p->~T();
        mem_free(p);
    }
};
template <class T>
using Owned = std::unique_ptr<T, TrackedDelete<T>>;

template <class T, class... Args>
Owned<T> makeTracked(Args&&... args) {
    void* p = mem_alloc(sizeof(T));
    if (!p) throw std::bad_alloc();
    try {
        return Owned<T>(new (p) T(std::forward<Args>(args)...));
    } catch (...) {
        mem_free(p);
        throw;
    }
}

// Sets debug_tag for the lifetime of a scope and restores the previous step after.
class DebugTag {
public:
    explicit DebugTag(const char* tag) noexcept : saved_(debug_tag) { debug_tag = tag; }
    ~DebugTag() { debug_tag = saved_; }
    DebugTag(const DebugTag&) = delete;
    DebugTag& operator=(const DebugTag&) = delete;

private:
    const char* saved_;
};
