#include "utf8.h"

const Utf8Charset utf8_csvalid[] = {
    {"US-ASCII", Utf8CharsetKind::Ascii},
    {"ISO-8859-1", Utf8CharsetKind::Identity8},
    {nullptr, Utf8CharsetKind::Ascii},
};

namespace {

constexpr size_t kMaxCharsetName = 127;
constexpr long kByteOrderMark = 0xFEFF;

// The one reverse map and the row it was built for. A static buffer rather than a
// tracked block: it lives as long as the agent, so the memory audit would always
// report it, and its pages cost nothing until a conversion touches them.
struct RevMapRecord {
    const Utf8Charset* currmapcs = nullptr;
    Utf8RevMap map;
};
RevMapRecord revMap;

// Byte-level decoding of one sequence: lead byte, continuation bytes and the overlong
// forms visible in the second byte. Stores the sequence's length in used.
long utf8_get_raw(std::string_view rest, size_t& used) {
    if (rest.empty()) return -1;
    unsigned char lead = static_cast<unsigned char>(rest[0]);
    if (lead < 0x80) {
        used = 1;
        return lead;
    }
    size_t len;
    unsigned char minSecond = 0x80;
    unsigned long value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) minSecond = 0xA0;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        len = 4;
        value = lead & 0x07;
        if (lead == 0xF0) minSecond = 0x90;
    } else if (lead >= 0xF8 && lead <= 0xFB) {
        len = 5;
        value = lead & 0x03;
        if (lead == 0xF8) minSecond = 0x88;
    } else if (lead == 0xFC || lead == 0xFD) {
        len = 6;
        value = lead & 0x01;
        if (lead == 0xFC) minSecond = 0x84;
    } else {
        return -1; // continuation byte without a lead, or 0xC0, 0xC1, 0xFE, 0xFF
    }
    if (rest.size() < len) return -1;
    for (size_t i = 1; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(rest[i]);
        if (c < (i == 1 ? minSecond : 0x80) || c > 0xBF) return -1;
        value = (value << 6) | (c & 0x3F);
    }
    used = len;
    return static_cast<long>(value);
}

} // namespace

const Utf8Charset* utf8_charset(std::string_view name) {
    if (name.empty() || name.size() > kMaxCharsetName) return nullptr;
    for (const Utf8Charset* row = utf8_csvalid; row->name; ++row)
        if (strcmpi(row->name, name) == 0) return row;
    return nullptr;
}

void utf8_rmap_gen(const Utf8Charset& row, Utf8RevMap& map) {
    map.fill(kUtf8NoMapping);
    for (uint16_t c = 0; c < 0x80; ++c) map[c] = c;
    if (row.kind == Utf8CharsetKind::Identity8)
        for (uint16_t c = 0x80; c < 0x100; ++c) map[c] = c;
    if (map[0xA0] == kUtf8NoMapping) map[0xA0] = map[' '];
}

const Utf8RevMap* utf8_rmap(std::string_view name) {
    if (revMap.currmapcs && strcmpi(revMap.currmapcs->name, name) == 0) return &revMap.map;
    const Utf8Charset* row = utf8_charset(name);
    if (!row) return nullptr;
    utf8_rmap_gen(*row, revMap.map);
    revMap.currmapcs = row;
    return &revMap.map;
}

long utf8_get(std::string_view& rest) {
    size_t used = 0;
    long cp = utf8_get_raw(rest, used);
    if (cp < 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return -1;
    rest.remove_prefix(used);
    return cp;
}

long utf8_rmapsize(std::string_view text, const Utf8RevMap& map) {
    long size = 0;
    while (!text.empty()) {
        long cp = utf8_get(text);
        if (cp < 0 || cp > 0xFFFF) return -1;
        if (cp == kByteOrderMark) continue;
        uint16_t code = map[static_cast<size_t>(cp)];
        size += code > 0xFF && code != kUtf8NoMapping ? 2 : 1;
    }
    return size;
}

void utf8_rmaptext(std::string_view text, const Utf8RevMap& map, char errorCharacter, Str& out) {
    while (!text.empty()) {
        long cp = utf8_get(text);
        if (cp < 0 || cp > 0xFFFF) break;
        if (cp == kByteOrderMark) continue;
        uint16_t code = map[static_cast<size_t>(cp)];
        if (code == kUtf8NoMapping) {
            out.push_back(errorCharacter);
        } else {
            if (code > 0xFF) out.push_back(static_cast<char>(code >> 8));
            out.push_back(static_cast<char>(code & 0xFF));
        }
    }
}

int utf8_cstext(std::string_view source, std::string_view charsetName, Str& result, char errorCharacter) {
    const Utf8RevMap* map = utf8_rmap(charsetName);
    if (!map) return -1;
    long size = utf8_rmapsize(source, *map);
    if (size < 0) return -1;
    Str out;
    out.reserve(static_cast<size_t>(size));
    utf8_rmaptext(source, *map, errorCharacter, out);
    result.swap(out);
    return 0;
}

std::optional<Str> Convert_UTF8_To_Charset(std::string_view source, std::string_view charsetName) {
    Str result;
    if (utf8_cstext(source, charsetName, result, '?') < 0) return std::nullopt;
    return result;
}
