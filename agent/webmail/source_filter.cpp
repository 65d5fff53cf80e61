#include "source_filter.h"

#include <utility>

#include "texthelpers.h"

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

namespace {

constexpr std::string_view kEntityLineEnd = "&#13;&#10;";
// Held back from a long Live line: a split "</pre>", "&#13;&#10;" or character reference.
constexpr size_t kLiveTail = 12;

} // namespace

void LiveSource::keep(std::string_view text, Str& out) {
    Str decoded = ToStr(text);
    out.append(View(HTMLText_decode(decoded)));
}

void LiveSource::endLine(std::string_view line, Str& out) {
    if (state_ == State::After) return;
    if (state_ == State::Before) {
        long pre = InStr(1, line, "<pre>");
        if (!pre) return;
        state_ = State::Inside;
        opening_ = true;
        line.remove_prefix(static_cast<size_t>(pre - 1) + 5);
    }
    // As in HTML, a line break right after "<pre>" belongs to the markup, not the text.
    if (std::exchange(opening_, false) && (line == "\r\n" || line == kEntityLineEnd)) return;
    if (long close = InStr(1, line, "</pre>")) {
        keep(line.substr(0, static_cast<size_t>(close - 1)), out);
        state_ = State::After;
        return;
    }
    keep(line, out);
}

void LiveSource::feed(std::string_view piece, Str& out) {
    if (state_ == State::After) return;
    line_.append(piece);
    std::string_view text = View(line_);
    size_t start = 0;
    size_t crlf = text.find("\r\n"), entity = text.find(kEntityLineEnd);
    while (state_ != State::After && (crlf != std::string_view::npos || entity != std::string_view::npos)) {
        size_t end = crlf < entity ? crlf + 2 : entity + kEntityLineEnd.size();
        endLine(text.substr(start, end - start), out);
        start = end;
        if (crlf != std::string_view::npos && crlf < start) crlf = text.find("\r\n", start);
        if (entity != std::string_view::npos && entity < start) entity = text.find(kEntityLineEnd, start);
    }
    line_.erase(0, start);
    if (state_ == State::After) {
        line_.clear();
        return;
    }
    if (line_.size() <= kLineHold) return;
    // A long line: before the text only a "<pre>" matters; inside, its safe part goes out.
    if (state_ == State::Before) {
        long pre = InStr(1, View(line_), "<pre>");
        if (!pre) {
            line_.erase(0, line_.size() - 4);
            return;
        }
        state_ = State::Inside;
        opening_ = true;
        line_.erase(0, static_cast<size_t>(pre - 1) + 5);
    }
    if (long close = InStr(1, View(line_), "</pre>")) {
        endLine(View(line_).substr(0, static_cast<size_t>(close - 1) + 6), out);
        line_.clear();
        return;
    }
    if (line_.size() <= kLiveTail) return;
    size_t cut = line_.size() - kLiveTail;
    for (char c : {'&', '<'}) {
        size_t at = line_.rfind(c, cut - 1);
        if (at != Str::npos && at + kLiveTail > cut) cut = at;
    }
    opening_ = false;
    keep(View(line_).substr(0, cut), out);
    line_.erase(0, cut);
}

const char* LiveSource::finish(Str& out) {
    Str rest;
    rest.swap(line_);
    if (state_ == State::Inside || (state_ == State::Before && InStr(1, View(rest), "<pre>"))) {
        // The last line may run straight into the closing markup.
        if (long close = InStr(1, View(rest), "</pre>")) {
            endLine(View(rest).substr(0, static_cast<size_t>(close - 1) + 6), out);
        } else {
            long pre = state_ == State::Before ? InStr(1, View(rest), "<pre>") + 4 : 0;
            long markup = InStr(pre + 1, View(rest), "</");
            if (markup) endLine(View(NewStr(View(rest).substr(0, static_cast<size_t>(markup - 1)), "</pre>\r\n")), out);
        }
    }
    if (state_ == State::Before) return "Message data header not found.";
    if (state_ == State::Inside) return "Message data trailer not found.";
    return nullptr;
}
