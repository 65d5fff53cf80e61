#include "base64.h"

#include <array>
#include <climits>
#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>

namespace {

struct BioFree {
    void operator()(BIO* b) const noexcept { BIO_free_all(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

} // namespace

Str Base64_Encode(std::string_view data) {
    BIO* mem = BIO_new(BIO_s_mem());
    BIO* b64 = BIO_new(BIO_f_base64());
    if (!mem || !b64) {
        BIO_free(mem);
        BIO_free(b64);
        throw std::bad_alloc();
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    BioPtr chain(BIO_push(b64, mem));
    size_t off = 0;
    while (off < data.size()) {
        int chunk = static_cast<int>(std::min<size_t>(data.size() - off, INT_MAX / 2));
        int w = BIO_write(chain.get(), data.data() + off, chunk);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    (void)BIO_flush(chain.get());
    char* out = nullptr;
    long len = BIO_get_mem_data(mem, &out);
    return len > 0 ? Str(out, static_cast<size_t>(len)) : Str();
}

Str Base64_Decode_rLen(std::string_view text, long* outLength) {
    // Decoded by hand rather than through the BIO filter: the filter drops a final
    // group without padding and yields nothing at all for text damaged in the middle.
    static const auto table = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        return t;
    }();
    Str result;
    result.reserve(text.size() / 4 * 3 + 3);
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        int v = table[static_cast<unsigned char>(c)];
        if (v < 0) break; // "=" padding or a damaged character ends the value
        bits = (bits << 6) | static_cast<unsigned>(v);
        if (++count == 4) {
            result.push_back(static_cast<char>(bits >> 16));
            result.push_back(static_cast<char>(bits >> 8));
            result.push_back(static_cast<char>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) result.push_back(static_cast<char>(bits >> 4));
    if (count == 3) {
        result.push_back(static_cast<char>(bits >> 10));
        result.push_back(static_cast<char>(bits >> 2));
    }
    if (outLength) *outLength = static_cast<long>(result.size());
    return result;
}

Str uMD5(std::string_view text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    Str hex;
    if (EVP_Digest(text.data(), text.size(), md, &mdLen, EVP_md5(), nullptr) != 1) return hex;
    static const char digits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < mdLen; ++i) {
        hex.push_back(digits[md[i] >> 4]);
        hex.push_back(digits[md[i] & 15]);
    }
    return hex;
}
