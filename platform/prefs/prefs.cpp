#include "prefs.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace prefs {
namespace {

// libplist parses, frees and writes nested containers recursively, so a file nested
// deeply enough overflows the stack. Our domain needs two levels; a file holding more
// containers than this (which bounds the depth) is treated as malformed.
constexpr std::size_t kMaxContainers = 4096;

struct PlistFree {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct XmlFree {
    void operator()(char* xml) const noexcept { plist_to_xml_free(xml); }
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string errorText(int err) { return std::generic_category().message(err); }

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the missing folders of a path, each with mode 0700.
int makeFolders(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    for (auto pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (pos == std::string::npos) return 0;
    }
}

std::size_t countOf(std::string_view data, std::string_view what) {
    std::size_t n = 0;
    for (auto pos = data.find(what); pos != std::string_view::npos; pos = data.find(what, pos + 1)) ++n;
    return n;
}

std::uint64_t bigEndian(std::string_view data, std::size_t pos, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = value << 8 | static_cast<unsigned char>(data[pos + i]);
    return value;
}

// Arrays, sets and dictionaries in the data, counting generously: a file whose
// structure does not hold together is left for the parser to reject.
std::size_t containerCount(std::string_view data) {
    if (data.substr(0, 6) != "bplist") return countOf(data, "<array") + countOf(data, "<dict");
    constexpr std::size_t kTrailer = 32;
    if (data.size() < 8 + kTrailer) return 0;
    const std::size_t trailer = data.size() - kTrailer;
    const std::size_t offsetSize = static_cast<unsigned char>(data[trailer + 6]);
    const std::uint64_t objects = bigEndian(data, trailer + 8, 8);
    const std::uint64_t table = bigEndian(data, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || table > trailer || objects > (trailer - table) / offsetSize) return 0;
    std::size_t count = 0;
    for (std::uint64_t i = 0; i < objects; ++i) {
        const std::uint64_t offset = bigEndian(data, table + i * offsetSize, offsetSize);
        if (offset >= trailer) continue;
        const unsigned kind = static_cast<unsigned char>(data[offset]) >> 4;
        if (kind == 0xA || kind == 0xC || kind == 0xD) ++count;
    }
    return count;
}

struct Loaded {
    PlistPtr root; // a dictionary; null when the file is bad
    std::string why; // what is wrong with a bad file
};

// A missing or empty file is an empty domain.
Loaded loadFile(const std::string& path) {
    Loaded out;
    auto bad = [&out](std::string why) {
        out.root.reset();
        out.why = std::move(why);
        return std::move(out);
    };
    // Non-blocking so that a FIFO in the file's place cannot stall us.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno != ENOENT) return bad("it cannot be opened: " + errorText(errno));
        out.root.reset(plist_new_dict());
        return out;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return bad("it cannot be examined: " + errorText(errno));
    if (!S_ISREG(st.st_mode)) return bad("it is not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > Domain::kMaxFileSize) return bad("it is larger than 16 MB");
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd.get(), data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return bad("it cannot be read: " + errorText(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    if (data.empty()) {
        out.root.reset(plist_new_dict());
        return out;
    }
    if (containerCount(data) > kMaxContainers) return bad("it holds too many nested lists");
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &root);
    out.root.reset(root);
    if (!root) return bad("it is not a property list");
    if (plist_get_node_type(root) != PLIST_DICT) return bad("its top level is not a dictionary");
    return out;
}

std::string stringOf(plist_t node) {
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

std::optional<Value> valueOf(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_STRING:
        return Value(stringOf(node));
    case PLIST_ARRAY: {
        std::vector<std::string> items;
        const std::uint32_t size = plist_array_get_size(node);
        for (std::uint32_t i = 0; i < size; ++i) {
            const plist_t item = plist_array_get_item(node, i);
            items.push_back(plist_get_node_type(item) == PLIST_STRING ? stringOf(item) : std::string());
        }
        return Value(std::move(items));
    }
    default:
        return std::nullopt;
    }
}

plist_t nodeOf(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return plist_new_string(text->c_str());
    const plist_t array = plist_new_array();
    for (const auto& item : std::get<std::vector<std::string>>(value)) plist_array_append_item(array, plist_new_string(item.c_str()));
    return array;
}

std::map<std::string, Value, std::less<>> valuesOf(plist_t dict) {
    std::map<std::string, Value, std::less<>> values;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t node = nullptr;
        plist_dict_next_item(dict, iter, &key, &node);
        const std::unique_ptr<char, decltype(&std::free)> keyOwner(key, &std::free);
        if (!node) break;
        if (auto value = valueOf(node)) values.emplace(key, std::move(*value));
    }
    std::free(iter);
    return values;
}

// "<path>.malformed-YYYYmmdd-HHMMSS", with a counter when taken. Called under the lock,
// so no other writer of this domain races for the name.
std::string asideName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".malformed-" + stamp;
    std::string name = base;
    struct stat st {};
    for (int n = 2; ::lstat(name.c_str(), &st) == 0; ++n) name = base + "-" + std::to_string(n);
    return name;
}

} // namespace

std::string ReplaceFile(const std::string& path, std::string_view data) {
    std::string temp = path + ".tmp-XXXXXX";
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) return "creating a temporary file: " + errorText(errno);
    auto fail = [&temp](const char* step) {
        const int err = errno;
        ::unlink(temp.c_str());
        return std::string(step) + ": " + errorText(err);
    };
    if (::fchmod(fd.get(), 0600) != 0) return fail("fchmod");
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("write");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail("fsync");
    if (::close(fd.release()) != 0) return fail("close");
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("rename");
    // The rename itself is durable only once the folder is synced.
    Fd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0 || ::fsync(folder.get()) != 0) return "syncing the folder: " + errorText(errno);
    return {};
}

Domain::Domain(std::string path) : path_(std::move(path)) {}

std::string Domain::DefaultPath(std::string_view appId) {
    std::string home;
    if (const char* env = std::getenv("HOME"); env && *env) {
        home = env;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/Library/Preferences/" + std::string(appId) + ".plist";
}

std::optional<Value> Domain::CopyAppValue(std::string_view key) const {
    if (const auto it = pending_.find(key); it != pending_.end()) return it->second;
    if (const auto it = values_.find(key); it != values_.end()) return it->second;
    return std::nullopt;
}

void Domain::SetAppValue(std::string_view key, std::optional<Value> value) {
    pending_.insert_or_assign(std::string(key), std::move(value));
}

std::vector<std::string> Domain::Keys() const {
    std::vector<std::string> keys;
    for (const auto& [key, value] : values_) {
        if (!pending_.contains(key)) keys.push_back(key);
    }
    for (const auto& [key, value] : pending_) {
        if (value) keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool Domain::AppSynchronize() {
    problem_.clear();
    if (pending_.empty()) {
        // The file is only ever replaced whole, so reading needs no lock; moving a bad
        // file aside does.
        Loaded now = loadFile(path_);
        if (now.root) {
            values_ = valuesOf(now.root.get());
            return true;
        }
    }
    if (const int err = makeFolders(folderOf(path_))) {
        problem_ = "The settings folder for " + path_ + " cannot be created: " + errorText(err) + ".";
        return false;
    }
    const std::string lockPath = path_ + ".lock";
    Fd lock(::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
    int locked = lock.get() < 0 ? -1 : ::flock(lock.get(), LOCK_EX);
    while (locked != 0 && errno == EINTR) locked = ::flock(lock.get(), LOCK_EX);
    if (locked != 0) {
        problem_ = "The settings cannot be locked (" + lockPath + ": " + errorText(errno) + "); nothing was saved.";
        return false;
    }

    Loaded now = loadFile(path_);
    if (!now.root) {
        const std::string aside = asideName(path_);
        if (::rename(path_.c_str(), aside.c_str()) != 0) {
            problem_ = "The settings file " + path_ + " is damaged (" + now.why + ") and cannot be moved aside (" +
                       errorText(errno) + "); it was left untouched and the settings read as empty.";
            values_.clear();
            return false;
        }
        problem_ = "The settings file " + path_ + " was damaged (" + now.why + "); it was moved to " + aside +
                   " and the settings start empty.";
        now.root.reset(plist_new_dict());
    }
    const plist_t root = now.root.get();
    values_ = valuesOf(root);
    if (pending_.empty()) return true;

    for (const auto& [key, value] : pending_) {
        if (value) {
            plist_dict_set_item(root, key.c_str(), nodeOf(*value));
        } else if (plist_dict_get_item(root, key.c_str())) {
            plist_dict_remove_item(root, key.c_str());
        }
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const std::unique_ptr<char, XmlFree> xmlOwner(xml);
    const std::string failure = xml ? ReplaceFile(path_, std::string_view(xml, length)) : "encoding the settings";
    if (!failure.empty()) {
        if (!problem_.empty()) problem_ += ' ';
        problem_ += "The settings cannot be saved to " + path_ + " (" + failure + "); the changes are kept for the next try.";
        return false;
    }
    values_ = valuesOf(root);
    pending_.clear();
    return true;
}

} // namespace prefs
