// Tracked strings and string arrays with BASIC-style routines.
//
// Positions are 1-based. InStr and ReplaceAll ignore case (ASCII), NthField and
// CountFields compare exactly. Every string a routine creates lives on the tracked
// allocator, so the "-d" audit sees it with the debug_tag of the step that made it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mem.h"

using Str = std::basic_string<char, std::char_traits<char>, TrackedAllocator<char>>;
using StrArray = std::vector<Str, TrackedAllocator<Str>>;

inline Str ToStr(std::string_view s) { return Str(s.data(), s.size()); }
inline std::string_view View(const Str& s) { return std::string_view(s.data(), s.size()); }

Str Left(std::string_view s, long n);
std::string_view Right(std::string_view s, long n);
Str Mid(std::string_view s, long start, long n = -1);
long InStr(long start, std::string_view s, std::string_view pattern);
Str& ReplaceAll(Str& s, std::string_view pattern, std::string_view repl);
Str NthField(std::string_view s, std::string_view delim, long n);
long CountFields(std::string_view s, std::string_view delim);
int StrBool(std::string_view s);
Str BoolStr(long b);

template <class... Parts>
Str NewStr(const Parts&... parts) {
    Str out;
    out.reserve((std::string_view(parts).size() + ... + 0));
    (out.append(std::string_view(parts)), ...);
    return out;
}
template <class... Parts>
Str& StrInit(Str& s, const Parts&... parts) {
    s = NewStr(parts...);
    return s;
}

Str& ReplaceStr(Str& s, long start, long n, std::string_view repl);
Str& InsertStr(Str& s, long pos, std::string_view text);
inline Str& AppendStr(Str& s, std::string_view text) { return s.append(text); }

Str& LowerCase(Str& s);
Str& UpperCase(Str& s);
Str& TitleCase(Str& s);
Str& LTrim(Str& s);
Str& RTrim(Str& s);
Str& Trim(Str& s);

inline long UBound(const StrArray& a) { return static_cast<long>(a.size()) - 1; }
inline void ArrayAppend(StrArray& a, std::string_view s) { a.push_back(ToStr(s)); }
inline void ArrayRemove(StrArray& a, long i) {
    if (i >= 0 && i < static_cast<long>(a.size())) a.erase(a.begin() + i);
}
inline void ArrayReplace(StrArray& a, std::string_view s, long i) {
    if (i >= 0 && i < static_cast<long>(a.size())) a[static_cast<size_t>(i)] = ToStr(s);
}

// Case-insensitive search: pointer to the first match in s, s itself for an empty
// pattern, null when absent.
const char* strstri(std::string_view s, std::string_view pattern);
int strcmpi(std::string_view a, std::string_view b);
int strncmpi(std::string_view a, std::string_view b, size_t n);
