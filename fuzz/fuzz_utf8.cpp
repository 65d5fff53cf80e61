// Text as any bytes converted from UTF-8 to each known charset, and decoded code point
// by code point. Promises checked: the size utf8_rmapsize predicts is the size
// produced, refusal matches the decoder's verdict, and a code point decoded from valid
// input re-encodes to the same bytes.
#include "fuzz_util.h"
#include "utf8.h"

namespace {

// Standard UTF-8 encoding of cp.
std::string encode(long cp) {
    std::string out;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::asText(data, size);

    bool valid = true, bmp = true;
    for (std::string_view rest = text; !rest.empty();) {
        std::string_view before = rest;
        long cp = utf8_get(rest);
        if (cp < 0) {
            fuzz::check(rest == before, "a refused code point consumed input");
            valid = false;
            break;
        }
        fuzz::check(cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF), "decoded value out of range");
        std::string bytes = encode(cp);
        fuzz::check(before.substr(0, bytes.size()) == bytes && rest.size() + bytes.size() == before.size(),
                    "decoded code point is not its bytes");
        if (cp > 0xFFFF) bmp = false;
    }

    for (const Utf8Charset* row = utf8_csvalid; row->name; ++row) {
        const Utf8RevMap* map = utf8_rmap(row->name);
        fuzz::check(map != nullptr, "known charset without a map");
        long predicted = utf8_rmapsize(text, *map);
        fuzz::check((predicted >= 0) == (valid && bmp), "refusal differs from the decoder's verdict");
        Str out;
        int rc = utf8_cstext(text, row->name, out, '?');
        fuzz::check((rc == 0) == (predicted >= 0), "conversion result differs from the size check");
        if (rc == 0) fuzz::check(static_cast<long>(out.size()) == predicted, "size differs from the prediction");
    }
    fuzz::check(!Convert_UTF8_To_Charset(text, "no-such-charset"), "unknown charset accepted");
    return 0;
}
