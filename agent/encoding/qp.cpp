#include "qp.h"

namespace {

constexpr long kMaxLine = 75;

// Adds width to the column and starts a new line with a soft break when the next
// piece would not fit.
void advanceColumn(Str& out, long& column, long width) {
    column += width;
    if (column > kMaxLine) {
        out.append("=\r\n");
        column = width;
    }
}

} // namespace

Str rfc822_8bit(std::string_view data, long* outLength) {
    static const char hex[] = "0123456789ABCDEF";
    Str out;
    // Room for the worst case (every byte a triple, plus its soft breaks) so the loop
    // never reallocates; the slack is given back at the end.
    out.reserve((data.size() + data.size() * 3 / kMaxLine) * 3 + 3);
    long column = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        bool last = i + 1 == data.size();
        if (c == '\r' && !last && data[i + 1] == '\n') {
            out.append("\r\n");
            ++i;
            column = 0;
            continue;
        }
        // A blank at the very end would end the part's last line; transports may strip
        // trailing blanks, so it is encoded like one before a line break.
        bool lineEndBlank = c == ' ' && (last || data[i + 1] == '\r');
        if (c < 0x20 || c >= 0x7F || c == '=' || lineEndBlank) {
            advanceColumn(out, column, 3);
            out.push_back('=');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            advanceColumn(out, column, 1);
            out.push_back(static_cast<char>(c));
        }
    }
    out.shrink_to_fit();
    if (outLength) *outLength = static_cast<long>(out.size());
    return out;
}

Str EncodeQuotedPrintable(std::string_view text) { return rfc822_8bit(text); }
