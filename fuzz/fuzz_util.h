// Helpers shared by the fuzz targets: a scratch folder, files, and the check that
// turns a broken promise into a crash libFuzzer records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// A folder of this process, removed at exit; the same for every call.
const std::string& scratchDir();
// scratchDir() + "/" + name.
std::string scratch(std::string_view name);
void writeFile(const std::string& path, std::string_view data);
// The file's bytes, or "" when it cannot be read.
std::string readFile(const std::string& path);
// Removes every entry of a folder (not the folder itself, not recursively).
void emptyDir(const std::string& path);
// Aborts with what when ok is false.
void check(bool ok, const char* what);
// text without its NUL bytes: what the NUL-cut targets deliver, joined.
std::string withoutNuls(std::string_view text);
// Undoes SMTP dot-stuffing: a "." that starts a CR LF line is dropped once.
std::string unstuff(std::string_view text);
// text with every bare CR and bare LF made a CR LF, as the SMTP client sends it.
std::string crlfLineEnds(std::string_view text);
inline std::string_view asText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace fuzz
