// Base64 (one line, no breaks) and MD5 as lower-case hex, both through libcrypto.
#pragma once

#include "tstr.h"

Str Base64_Encode(std::string_view data);
// Decoded bytes (may hold NUL bytes; the Str knows its length). Decoding stops at the
// first character that is not Base64, so a damaged value yields what came before it.
// outLength, when given, receives the decoded byte count.
Str Base64_Decode_rLen(std::string_view text, long* outLength = nullptr);
Str uMD5(std::string_view text);
