// The settings store: one preferences domain kept as an XML property list.
//
// Values are strings or arrays of strings. Reads come from the state loaded by the
// last AppSynchronize; writes stay pending until AppSynchronize merges them into the
// file under an exclusive lock and replaces the file atomically (temporary file,
// fsync, rename; mode 0600, folders 0700), so two processes that write different keys
// never lose each other's changes. A file that cannot be parsed, or whose root is not
// a dictionary, reads as an empty domain and is moved aside before anything is
// written over it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace prefs {

using Value = std::variant<std::string, std::vector<std::string>>;

class Domain {
public:
    // path: the property list file, e.g. DefaultPath("com.vexlo.Tarnwell").
    explicit Domain(std::string path);

    // "$HOME/Library/Preferences/<appId>.plist"
    static std::string DefaultPath(std::string_view appId);

    const std::string& Path() const { return path_; }

    // Value as last synchronised, with this process's pending writes applied.
    // Values of other kinds (numbers, dictionaries, arrays holding non-strings in
    // the non-string places) read as absent; array elements that are not strings read
    // as empty strings.
    std::optional<Value> CopyAppValue(std::string_view key) const;
    // nullopt removes the key.
    void SetAppValue(std::string_view key, std::optional<Value> value);
    // Re-reads the file and, when writes are pending, merges them and writes the file.
    // False when the file could not be written (pending writes are kept) or read.
    bool AppSynchronize();
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
