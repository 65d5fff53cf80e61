// Bytes as any input through quoted-printable and Base64. Promises checked:
// quoted-printable decodes back to the input, keeps every line at 76 characters or
// fewer (soft-break "=" included) and never ends a line with a blank; Base64
// round-trips, and decoding arbitrary text yields at most three bytes per four
// characters and reports its own length.
#include "base64.h"
#include "fuzz_util.h"
#include "qp.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string qpDecode(std::string_view qp) {
    std::string out;
    for (size_t i = 0; i < qp.size(); ++i) {
        if (qp[i] != '=') {
            out.push_back(qp[i]);
            continue;
        }
        if (qp.substr(i + 1, 2) == "\r\n") {
            i += 2;
            continue;
        }
        fuzz::check(i + 2 < qp.size() && hexValue(qp[i + 1]) >= 0 && hexValue(qp[i + 2]) >= 0, "bad escape");
        out.push_back(static_cast<char>(hexValue(qp[i + 1]) * 16 + hexValue(qp[i + 2])));
        i += 2;
    }
    return out;
}

void quotedPrintable(std::string_view data) {
    long length = -1;
    Str qp = rfc822_8bit(data, &length);
    fuzz::check(length == static_cast<long>(qp.size()), "reported length");
    fuzz::check(qpDecode(View(qp)) == data, "quoted-printable does not round-trip");
    std::string_view rest = View(qp);
    while (!rest.empty()) {
        size_t eol = rest.find("\r\n");
        std::string_view line = rest.substr(0, eol);
        fuzz::check(line.size() <= 76, "encoded line too long");
        fuzz::check(line.empty() || (line.back() != ' ' && line.back() != '\t'), "line ends with a blank");
        for (char c : line)
            fuzz::check(c >= 0x20 && c < 0x7F && c != '\t', "unencoded control or 8-bit byte");
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 2);
    }
}

void base64RoundTrip(std::string_view data) {
    Str encoded = Base64_Encode(data);
    fuzz::check(encoded.size() == (data.size() + 2) / 3 * 4, "encoded length");
    long n = -1;
    fuzz::check(Base64_Decode_rLen(View(encoded), &n) == data, "Base64 does not round-trip");
    fuzz::check(n == static_cast<long>(data.size()), "decoded length");

    Str decoded = Base64_Decode_rLen(data, &n);
    fuzz::check(n == static_cast<long>(decoded.size()), "reported decoded length");
    fuzz::check(decoded.size() <= data.size() / 4 * 3 + 3, "decoded more than the text holds");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    quotedPrintable(input);
    base64RoundTrip(input);
    return 0;
}
