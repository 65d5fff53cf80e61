// Text routines for the web modules: percent-encoding, HTML character references,
// backslash escapes, keyword/value scanning and a guard against NUL bytes in received
// data. Positions are 1-based; keyword and terminator searches ignore case (InStr).
#pragma once

#include <cstddef>

#include "tstr.h"

// Replaces every NUL byte among the first length bytes of buffer by 0x7F, tracing
// "buffer null character replaced" for each.
void NullCharRpl(char* buffer, size_t length);
// Letters and digits (ASCII) unchanged, every other byte as "%" and two lower-case hex
// digits.
Str EncodeURLComponent(std::string_view text);
// Each "%" and two hex digits become that byte; produced bytes are not decoded again.
// A "%" without two hex digits after it, and "%00", stay as they are.
Str DecodeURLComponent(std::string_view text);
// Replaces "&lt;", "&gt;", "&quot;", "&amp;" (any case) and numeric references
// ("&#65;", "&#x41;") with values 1 to 255 by their byte; any other reference, and an
// "&" without a later ";", stays as it is. Decoded bytes are not decoded again.
Str& HTMLText_decode(Str& text);
// Replaces "\r" by CR, "\n" by LF and "\x" with two hex digits by that byte (not when it
// would be NUL); before any other character only the backslash is removed. A "\x"
// without a usable value and a backslash that ends the text stay as they are.
Str& EscapeText_decode(Str& text);
// The value after the first occurrence of keyword that starts text or follows a byte
// of preceding (blank, LF, CR, tab when empty) and is followed, after blanks, by the
// first character of separator; the value is read by getVal. "" when there is none.
Str getKwdVal(std::string_view keyword, std::string_view separator, std::string_view preceding,
              std::string_view terminators, std::string_view text);
// The value starting at position after blanks: up to the matching quote when it starts
// with a single or double quote, else up to the first later byte in terminators (ignoring
// case); to the end of text when no end is found. "" when only blanks remain.
Str getVal(long position, std::string_view terminators, std::string_view text);
