// Quoted-printable encoding of message text for the rebuilt MIME parts.
#pragma once

#include "tstr.h"

// Quoted-printable text of data: CR LF pairs stay line breaks; control bytes (lone CR
// or LF and TAB included), 127, bytes of 128 or more, "=", and a blank that ends a line
// or the data become "=" and two upper-case hex digits; every other byte is copied.
// Soft breaks ("=" CR LF) keep each encoded line at 75 characters or fewer before the
// "=". outLength, when given, receives the result's length.
Str rfc822_8bit(std::string_view data, long* outLength = nullptr);
// rfc822_8bit over the whole text.
Str EncodeQuotedPrintable(std::string_view text);
