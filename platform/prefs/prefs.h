// The settings store: one preferences domain kept as an XML property list.
//
// Values are strings or arrays of strings. Reads come from the state loaded by the
// last AppSynchronize; writes stay pending until AppSynchronize merges them into the
// file under an exclusive lock and replaces the file atomically (temporary file,
// fsync, rename; mode 0600, folders 0700), so two processes that write different keys
// never lose each other's changes. A file that cannot be parsed (XML or binary), whose
// root is not a dictionary, that cannot be read or that is larger than kMaxFileSize
// reads as an empty domain and is moved aside ("<path>.malformed-YYYYmmdd-HHMMSS",
// with "-2", "-3", ... when that name is taken) before anything is written over it.
//
// Keys and values are byte strings without NUL bytes (the file format cuts at a NUL).
// Values of any length are stored; callers enforce their own limits.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace prefs {

using Value = std::variant<std::string, std::vector<std::string>>;

// Replaces the file at path with data so that a reader sees either the old file or the
// whole new one, also after a crash: a temporary file with mode 0600 beside it, fsync,
// rename, then the folder synced. Empty on success, else the step that failed and why.
std::string ReplaceFile(const std::string& path, std::string_view data);

class Domain {
public:
    static constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

    // path: the property list file, e.g. DefaultPath("com.vexlo.Tarnwell"). Nothing is
    // read until the first AppSynchronize.
    explicit Domain(std::string path);

    // "$HOME/Library/Preferences/<appId>.plist"; when HOME is unset or empty, the home
    // folder from the user database stands in for it.
    static std::string DefaultPath(std::string_view appId);

    const std::string& Path() const { return path_; }

    // Value as last synchronised, with this process's pending writes applied.
    // Strings and arrays are values; anything else (numbers, dates, dictionaries, ...)
    // reads as absent. An array's elements that are not strings read as empty strings,
    // so positions in the array are kept.
    std::optional<Value> CopyAppValue(std::string_view key) const;
    // nullopt removes the key.
    void SetAppValue(std::string_view key, std::optional<Value> value);
    // Re-reads the file and, when writes are pending, merges them and writes the file.
    // Entries this class does not read (other kinds of values) are kept as they are.
    // Without pending writes and without a file, nothing is created on disk.
    // False when the pending writes could not be written (they stay pending) or a bad
    // file could not be moved aside (then nothing is written); LastProblem says why.
    bool AppSynchronize();
    // Keys with a value (as CopyAppValue sees them), sorted.
    std::vector<std::string> Keys() const;

    // Empty, or a sentence for the user about the last synchronisation (a file moved
    // aside, a write that failed).
    const std::string& LastProblem() const { return problem_; }

private:
    std::string path_;
    std::map<std::string, Value, std::less<>> values_;
    std::map<std::string, std::optional<Value>, std::less<>> pending_;
    std::string problem_;
};

} // namespace prefs
