// Base64 as the settings and the mail protocols use it: the standard alphabet with "="
// padding, on one line without breaks. The agent, tarnwell-settings and the preferences
// window all encode and decode through here, so each reads the bytes the others wrote.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace base64 {

// Characters that n bytes encode to.
constexpr std::size_t EncodedSize(std::size_t n) { return (n + 2) / 3 * 4; }
// Writes EncodedSize(data.size()) characters to out.
void EncodeTo(std::string_view data, char* out);

// Room that decoding n characters needs at most.
constexpr std::size_t DecodedMaxSize(std::size_t n) { return n / 4 * 3 + 2; }
// Writes the decoded bytes of text to out (room for DecodedMaxSize(text.size())) and
// returns their count. Decoding stops at the first character that is not Base64 ("="
// included), so a damaged value yields what came before it; a final group without
// padding is decoded all the same.
std::size_t DecodeTo(std::string_view text, char* out);

// String: std::string or any string type with its interface (the agent's tracked strings).
template <class String = std::string>
String Encode(std::string_view data) {
    String out(EncodedSize(data.size()), '\0');
    EncodeTo(data, out.data());
    return out;
}

// The decoded bytes; they may hold NUL bytes.
template <class String = std::string>
String Decode(std::string_view text) {
    String out(DecodedMaxSize(text.size()), '\0');
    out.resize(DecodeTo(text, out.data()));
    return out;
}

} // namespace base64
