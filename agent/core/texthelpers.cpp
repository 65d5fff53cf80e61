#include "texthelpers.h"

#include <algorithm>

namespace {

constexpr std::string_view kDefaultPreceding = " \n\r\t";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int decDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : -1; }

bool isAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || decDigit(c) >= 0; }

// Byte value of the digits, or 0 when they are missing, hold anything else, or give a
// value beyond one byte. Stopping at 255 keeps any run of digits from overflowing, and
// a character above 255 is left alone rather than cut to an unrelated byte.
unsigned digitsByte(std::string_view digits, int (*digit)(char), unsigned base) {
    unsigned value = 0;
    for (char c : digits) {
        int d = digit(c);
        if (d < 0) return 0;
        value = value * base + static_cast<unsigned>(d);
        if (value > 0xFF) return 0;
    }
    return value;
}

// Byte a character reference name (the text between "&" and ";") stands for, or 0.
unsigned referenceByte(std::string_view name) {
    if (strcmpi(name, "lt") == 0) return '<';
    if (strcmpi(name, "gt") == 0) return '>';
    if (strcmpi(name, "quot") == 0) return '"';
    if (strcmpi(name, "amp") == 0) return '&';
    if (name.empty() || name[0] != '#') return 0;
    if (name.size() > 1 && (name[1] == 'x' || name[1] == 'X')) return digitsByte(name.substr(2), hexDigit, 16);
    return digitsByte(name.substr(1), decDigit, 10);
}

} // namespace

void NullCharRpl(char* buffer, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (buffer[i] != '\0') continue;
        buffer[i] = '\x7f';
        debugLog("buffer null character replaced");
    }
}

Str EncodeURLComponent(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    Str out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        if (isAsciiAlnum(c)) {
            out.push_back(c);
            continue;
        }
        unsigned char b = static_cast<unsigned char>(c);
        out.push_back('%');
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

Str DecodeURLComponent(std::string_view text) {
    Str out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        // A NUL byte would cut the value short wherever it is used as C text, so "%00"
        // is kept like any other unusable escape.
        unsigned byte = text[i] == '%' && i + 2 < text.size() ? digitsByte(text.substr(i + 1, 2), hexDigit, 16) : 0;
        if (byte == 0) {
            out.push_back(text[i]);
            continue;
        }
        out.push_back(static_cast<char>(byte));
        i += 2;
    }
    return out;
}

Str& HTMLText_decode(Str& text) {
    Str out;
    size_t copied = 0;
    size_t semi = 0;
    for (size_t amp = text.find('&'); amp != Str::npos; amp = text.find('&', amp + 1)) {
        // One ";" can close many candidates; finding it once keeps long texts linear.
        if (semi <= amp) semi = text.find(';', amp + 1);
        if (semi == Str::npos) break;
        unsigned byte = referenceByte(std::string_view(text).substr(amp + 1, semi - amp - 1));
        if (byte == 0) continue;
        out.append(text, copied, amp - copied);
        out.push_back(static_cast<char>(byte));
        copied = semi + 1;
        amp = semi;
    }
    if (copied == 0) return text;
    out.append(text, copied, Str::npos);
    text.swap(out);
    return text;
}

Str& EscapeText_decode(Str& text) {
    Str out;
    size_t copied = 0;
    for (size_t bs = text.find('\\'); bs != Str::npos && bs + 1 < text.size(); bs = text.find('\\', bs + 1)) {
        char next = text[bs + 1];
        char produced = next;
        size_t used = 2;
        if (next == 'r') {
            produced = '\r';
        } else if (next == 'n') {
            produced = '\n';
        } else if (next == 'x') {
            unsigned byte = bs + 4 <= text.size() ? digitsByte(std::string_view(text).substr(bs + 2, 2), hexDigit, 16) : 0;
            if (byte == 0) continue;
            produced = static_cast<char>(byte);
            used = 4;
        }
        out.append(text, copied, bs - copied);
        out.push_back(produced);
        copied = bs + used;
        bs = copied - 1;
    }
    if (copied == 0) return text;
    out.append(text, copied, Str::npos);
    text.swap(out);
    return text;
}

Str getKwdVal(std::string_view keyword, std::string_view separator, std::string_view preceding,
              std::string_view terminators, std::string_view text) {
    if (preceding.empty()) preceding = kDefaultPreceding;
    long step = std::max<long>(1, static_cast<long>(keyword.size()));
    for (long pos = InStr(1, text, keyword); pos > 0; pos = InStr(pos + step, text, keyword)) {
        size_t at = static_cast<size_t>(pos - 1);
        if (at > 0 && preceding.find(text[at - 1]) == std::string_view::npos) continue;
        size_t after = at + keyword.size();
        while (after < text.size() && text[after] == ' ') ++after;
        if (after < text.size() && !separator.empty() && text[after] == separator[0])
            return getVal(static_cast<long>(after) + 2, terminators, text);
    }
    return Str();
}

Str getVal(long position, std::string_view terminators, std::string_view text) {
    size_t at = position < 1 ? 0 : static_cast<size_t>(position - 1);
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size()) return Str();
    char first = text[at];
    if (first == '"' || first == '\'') {
        size_t close = text.find(first, at + 1);
        return ToStr(text.substr(at + 1, close == std::string_view::npos ? std::string_view::npos : close - at - 1));
    }
    size_t end = at + 1;
    while (end < text.size() && InStr(1, terminators, text.substr(end, 1)) == 0) ++end;
    return ToStr(text.substr(at, end - at));
}
