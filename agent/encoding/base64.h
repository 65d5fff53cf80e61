// Base64 (one line, no breaks) on the agent's tracked strings, and MD5 as lower-case hex
// through libcrypto.
#pragma once

#include "base64_codec.h"
#include "tstr.h"

inline Str Base64_Encode(std::string_view data) { return base64::Encode<Str>(data); }
// Decoded bytes (may hold NUL bytes; the Str knows its length). Decoding stops at the
// first character that is not Base64, so a damaged value yields what came before it.
// outLength, when given, receives the decoded byte count.
Str Base64_Decode_rLen(std::string_view text, long* outLength = nullptr);
Str uMD5(std::string_view text);
