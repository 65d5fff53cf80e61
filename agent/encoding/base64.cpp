#include "base64.h"

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
    Str result;
    if (!text.empty() && text.size() <= INT_MAX) {
        BIO* src = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
        BIO* b64 = BIO_new(BIO_f_base64());
        if (!src || !b64) {
            BIO_free(src);
            BIO_free(b64);
            throw std::bad_alloc();
        }
        BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
        BioPtr chain(BIO_push(b64, src));
        char buf[256];
        int n;
        while ((n = BIO_read(chain.get(), buf, sizeof buf)) > 0) result.append(buf, static_cast<size_t>(n));
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
