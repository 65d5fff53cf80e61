// UTF-8 to 8-bit character-set conversion, driven by a table of known charsets and a
// reverse map from every Basic Multilingual Plane code point to the target code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "tstr.h"

enum class Utf8CharsetKind { Ascii, Identity8 };

struct Utf8Charset {
    const char* name; // null in the row that ends the table
    Utf8CharsetKind kind;
};

// Known charsets in lookup order, ended by a row with a null name.
extern const Utf8Charset utf8_csvalid[];

constexpr uint16_t kUtf8NoMapping = 0xFFFF;
// Target code per code point U+0000 to U+FFFF, kUtf8NoMapping where there is none.
using Utf8RevMap = std::array<uint16_t, 0x10000>;

// Table row of the charset named (ignoring case), or null when the name is empty,
// longer than 127 characters or not in the table.
const Utf8Charset* utf8_charset(std::string_view name);
// Fills map for row: ASCII maps to itself, the identity kind also maps 128 to 255 to
// themselves, and U+00A0 falls back to the blank's entry.
void utf8_rmap_gen(const Utf8Charset& row, Utf8RevMap& map);
// The reverse map for the charset named, or null when it is unknown. There is one map:
// it is reused while the same charset is asked for and rebuilt in place for another,
// so the result stays valid only until the next call for a different charset.
const Utf8RevMap* utf8_rmap(std::string_view name);
// Decodes one code point at the front of rest and drops its bytes from rest. On
// malformed, overlong, truncated or surrogate input, or a value above U+10FFFF, returns
// -1 and leaves rest as it was.
long utf8_get(std::string_view& rest);
// Byte count of text converted through map (a code above 255 takes two bytes), or -1
// when text is not valid UTF-8 or holds a code point above U+FFFF. A byte-order mark
// (U+FEFF) is skipped wherever it stands.
long utf8_rmapsize(std::string_view text, const Utf8RevMap& map);
// Appends text, which utf8_rmapsize accepted, converted through map to out: each
// character becomes its code (a code above 255 as two bytes, high byte first), or
// errorCharacter when the map has none for it.
void utf8_rmaptext(std::string_view text, const Utf8RevMap& map, char errorCharacter, Str& out);
// Converts source into result; returns 0, or -1 (result untouched) when the charset is
// unknown or utf8_rmapsize refuses the text.
int utf8_cstext(std::string_view source, std::string_view charsetName, Str& result, char errorCharacter);
// source converted to the charset named with "?" for what the charset lacks, or
// nullopt when the charset is unknown or the text is refused (see utf8_rmapsize).
std::optional<Str> Convert_UTF8_To_Charset(std::string_view source, std::string_view charsetName);
