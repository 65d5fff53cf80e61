// Recovers a message's own text from the page a web mailbox shows its raw source in, as
// the page arrives in pieces: memory stays bounded whatever the lines' lengths, and the
// result does not depend on where the pieces are cut.
#pragma once

#include <string_view>

#include "tstr.h"

// Where a recovery stands in the page: before the message's text, inside it, after it;
// and the line being received.
class PageText {
public:
    // True while the text has not begun.
    bool beforeText() const { return state_ == State::Before; }

protected:
    enum class State { Before, Inside, After };
    State state_ = State::Before;
    Str line_;
};

// The CGI mailbox's page: the source stands, with "&", "<", ">" and '"' written as
// entities, between a line "<PRE>" and "</PRE>". Lines end at LF (a CR before it is
// part of the line end); marker lines may carry blanks; "</PRE>" ends the text wherever
// it stands, since the escaped source cannot hold it.
class CgiSource : public PageText {
public:
    // Appends the message text that piece completes to out (CR LF line ends).
    void feed(std::string_view piece, Str& out);
    // The end of the page: null when the text was complete; otherwise what was missing
    // ("Message data header not found." or "Message data trailer not found.").
    const char* finish(Str& out);

private:
    void endLine(Str& out);
    void bound(Str& out);
    bool closeAt(long pos, Str& out);

    bool skipping_ = false; // the rest of the current line is dropped
};

// The Windows Live mailbox's page: the source stands after "<pre>" up to "</pre>", with
// HTML entities, its line ends either as CR LF or written "&#13;&#10;". Lines end at
// either form; a line end right after "<pre>" is markup, as in HTML. A page whose last line runs into closing markup without "</pre>" ends at
// that markup's "</".
class LiveSource : public PageText {
public:
    void feed(std::string_view piece, Str& out);
    const char* finish(Str& out);

private:
    void endLine(std::string_view line, Str& out);
    void keep(std::string_view text, Str& out);

    bool opening_ = false; // just after "<pre>": a line end here is not part of the text
};

// "&lt;", "&gt;", "&quot;" and "&amp;" (any case) decoded in one pass: a decoded "&" is
// not read again.
void AppendPreText(std::string_view text, Str& out);
