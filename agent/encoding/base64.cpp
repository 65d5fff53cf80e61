#include "base64.h"

#include <openssl/evp.h>

Str Base64_Decode_rLen(std::string_view text, long* outLength) {
    Str result = base64::Decode<Str>(text);
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
