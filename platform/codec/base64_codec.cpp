#include "base64_codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <openssl/evp.h>

namespace base64 {

void EncodeTo(std::string_view data, char* out) {
    // EVP_EncodeBlock takes an int count and ends its output with a NUL, so the data
    // goes through in pieces of whole groups.
    constexpr std::size_t kPiece = 3 * 1024;
    std::array<unsigned char, EncodedSize(kPiece) + 1> block;
    for (std::size_t done = 0; done < data.size(); done += kPiece) {
        const std::size_t n = std::min(kPiece, data.size() - done);
        const int made = EVP_EncodeBlock(block.data(), reinterpret_cast<const unsigned char*>(data.data() + done),
                                         static_cast<int>(n));
        std::memcpy(out, block.data(), static_cast<std::size_t>(made));
        out += made;
    }
}

std::size_t DecodeTo(std::string_view text, char* out) {
    // Decoded by hand rather than through libcrypto: its decoders drop a final group
    // without padding and yield nothing at all for text damaged in the middle.
    static const auto table = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        return t;
    }();
    char* const start = out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = table[static_cast<unsigned char>(c)];
        if (v < 0) break; // "=" padding or a damaged character ends the value
        bits = (bits << 6) | static_cast<unsigned>(v);
        if (++count == 4) {
            *out++ = static_cast<char>(bits >> 16);
            *out++ = static_cast<char>(bits >> 8);
            *out++ = static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) *out++ = static_cast<char>(bits >> 4);
    if (count == 3) {
        *out++ = static_cast<char>(bits >> 10);
        *out++ = static_cast<char>(bits >> 2);
    }
    return static_cast<std::size_t>(out - start);
}

} // namespace base64
