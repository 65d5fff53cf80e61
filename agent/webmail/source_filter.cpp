#include "source_filter.h"

namespace {

// A line without LF is passed on (or dropped) in parts once it holds this much.
constexpr size_t kLineHold = 65536;
// Bytes held back from a long line: enough for "</PRE" and any entity to stay whole.
constexpr size_t kTail = 7;

std::string_view trimmedBlanks(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

} // namespace

void AppendPreText(std::string_view text, Str& out) {
    static constexpr struct {
        std::string_view entity;
        char c;
    } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&amp;", '&'}};
    size_t i = 0;
    while (i < text.size()) {
        size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) break;
        out.append(text.substr(i, amp - i));
        i = amp + 1;
        bool decoded = false;
        for (const auto& e : kEntities) {
            if (strncmpi(text.substr(amp), e.entity, e.entity.size()) == 0) {
                out += e.c;
                i = amp + e.entity.size();
                decoded = true;
                break;
            }
        }
        if (!decoded) out += '&';
    }
    out.append(text.substr(i));
}

void CgiSource::feed(std::string_view piece, Str& out) {
    while (!piece.empty()) {
        size_t lf = piece.find('\n');
        std::string_view part = piece.substr(0, lf);
        piece.remove_prefix(lf == std::string_view::npos ? piece.size() : lf + 1);
        if (!skipping_) line_.append(part);
        if (lf == std::string_view::npos) {
            if (!skipping_ && line_.size() > kLineHold) bound(out);
            return;
        }
        if (!skipping_) endLine(out);
        skipping_ = false;
        line_.clear();
    }
}

// "</PRE>" at pos (1-based) in the line ends the text; what stands before it is the
// last line, when it holds more than blanks.
bool CgiSource::closeAt(long pos, Str& out) {
    if (pos == 0) return false;
    std::string_view before = View(line_).substr(0, static_cast<size_t>(pos - 1));
    if (!trimmedBlanks(before).empty()) {
        AppendPreText(before, out);
        out.append("\r\n");
    }
    state_ = State::After;
    return true;
}

void CgiSource::endLine(Str& out) {
    if (line_.ends_with('\r')) line_.pop_back();
    switch (state_) {
    case State::Before:
        if (strcmpi(trimmedBlanks(View(line_)), "<PRE>") == 0) state_ = State::Inside;
        break;
    case State::Inside:
        if (closeAt(InStr(1, View(line_), "</PRE>"), out)) break;
        AppendPreText(View(line_), out);
        out.append("\r\n");
        break;
    case State::After: break;
    }
}

// A long line without its LF yet: inside the text its safe part goes out now; elsewhere
// it is dropped unless it may still be the "<PRE>" line.
void CgiSource::bound(Str& out) {
    if (state_ == State::Inside) {
        if (closeAt(InStr(1, View(line_), "</PRE>"), out)) {
            skipping_ = true;
            line_.clear();
            return;
        }
        size_t cut = line_.size() - kTail;
        size_t amp = line_.rfind('&', cut - 1);
        if (amp != Str::npos && amp + kTail > cut) cut = amp;
        AppendPreText(View(line_).substr(0, cut), out);
        line_.erase(0, cut);
        return;
    }
    std::string_view t = trimmedBlanks(View(line_));
    if (state_ == State::Before && strcmpi(t, "<PRE>") == 0) {
        line_ = ToStr("<PRE>");
        return;
    }
    skipping_ = true;
    line_.clear();
}

const char* CgiSource::finish(Str& out) {
    if (state_ == State::Inside && !skipping_) closeAt(InStr(1, View(line_), "</PRE>"), out);
    line_.clear();
    if (state_ == State::Before) return "Message data header not found.";
    if (state_ == State::Inside) return "Message data trailer not found.";
    return nullptr;
}
