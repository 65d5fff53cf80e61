#include "tstr.h"

#include <algorithm>
#include <cctype>

namespace {

unsigned char lower(char c) { return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c))); }

bool isBlankSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

size_t clampCount(long n, size_t max) { return n < 0 ? max : std::min(static_cast<size_t>(n), max); }

} // namespace

Str Left(std::string_view s, long n) { return ToStr(s.substr(0, clampCount(n < 0 ? 0 : n, s.size()))); }

std::string_view Right(std::string_view s, long n) {
    if (n < 0) n = 0;
    size_t k = static_cast<size_t>(n);
    return k >= s.size() ? s : s.substr(s.size() - k);
}

Str Mid(std::string_view s, long start, long n) {
    if (start < 1) start = 1;
    size_t from = static_cast<size_t>(start - 1);
    if (from >= s.size()) return Str();
    return ToStr(s.substr(from, clampCount(n, s.size() - from)));
}

const char* strstri(std::string_view s, std::string_view pattern) {
    if (pattern.empty()) return s.data();
    auto it = std::search(s.begin(), s.end(), pattern.begin(), pattern.end(),
                          [](char a, char b) { return lower(a) == lower(b); });
    return it == s.end() ? nullptr : s.data() + (it - s.begin());
}

int strncmpi(std::string_view a, std::string_view b, size_t n) {
    size_t len = std::min({a.size(), b.size(), n});
    for (size_t i = 0; i < len; ++i) {
        int d = int(lower(a[i])) - int(lower(b[i]));
        if (d) return d;
    }
    if (len == n) return 0;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int strcmpi(std::string_view a, std::string_view b) { return strncmpi(a, b, std::max(a.size(), b.size())); }

long InStr(long start, std::string_view s, std::string_view pattern) {
    if (start < 1) start = 1;
    if (static_cast<size_t>(start) > s.size() + 1) return 0;
    std::string_view rest = s.substr(static_cast<size_t>(start - 1));
    const char* hit = strstri(rest, pattern);
    if (!hit) return 0;
    return static_cast<long>(hit - s.data()) + 1;
}

Str& ReplaceAll(Str& s, std::string_view pattern, std::string_view repl) {
    if (pattern.empty()) return s;
    Str out;
    size_t from = 0;
    while (true) {
        const char* hit = strstri(std::string_view(s).substr(from), pattern);
        if (!hit) break;
        size_t at = static_cast<size_t>(hit - s.data());
        out.append(s, from, at - from);
        out.append(repl);
        from = at + pattern.size();
    }
    out.append(s, from, Str::npos);
    s.swap(out);
    return s;
}

Str NthField(std::string_view s, std::string_view delim, long n) {
    if (n < 1 || s.empty()) return Str();
    if (delim.empty()) return n == 1 ? ToStr(s) : Str();
    size_t from = 0;
    for (long field = 1; field < n; ++field) {
        size_t at = s.find(delim, from);
        if (at == std::string_view::npos) return Str();
        from = at + delim.size();
    }
    size_t end = s.find(delim, from);
    return ToStr(s.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from));
}

long CountFields(std::string_view s, std::string_view delim) {
    if (s.empty()) return 0;
    if (delim.empty()) return 1;
    long count = 1;
    for (size_t at = s.find(delim); at != std::string_view::npos; at = s.find(delim, at + delim.size())) ++count;
    return count;
}

int StrBool(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isBlankSpace(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
        if (s[i] != '0') return 1;
    return 0;
}

Str BoolStr(long b) { return ToStr(b ? "-1" : "0"); }

Str& ReplaceStr(Str& s, long start, long n, std::string_view repl) {
    long len = static_cast<long>(s.size());
    start = std::clamp(start, 1L, len + 1);
    n = std::clamp(n, 0L, len - start + 1);
    s.replace(static_cast<size_t>(start - 1), static_cast<size_t>(n), repl);
    return s;
}

Str& InsertStr(Str& s, long pos, std::string_view text) { return ReplaceStr(s, pos, 0, text); }

Str& LowerCase(Str& s) {
    for (char& c : s) c = static_cast<char>(lower(c));
    return s;
}

Str& UpperCase(Str& s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

Str& TitleCase(Str& s) {
    bool startOfWord = true;
    for (char& c : s) {
        c = static_cast<char>(startOfWord ? std::toupper(static_cast<unsigned char>(c)) : lower(c));
        startOfWord = isBlankSpace(c);
    }
    return s;
}

Str& LTrim(Str& s) {
    size_t i = 0;
    while (i < s.size() && isBlankSpace(s[i])) ++i;
    s.erase(0, i);
    return s;
}

Str& RTrim(Str& s) {
    size_t n = s.size();
    while (n > 0 && isBlankSpace(s[n - 1])) --n;
    s.resize(n);
    return s;
}

Str& Trim(Str& s) { return LTrim(RTrim(s)); }
