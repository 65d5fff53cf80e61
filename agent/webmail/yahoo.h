// The Yahoo account module: sign-in through the service's form, the inbox listed by its
// mail web service (SOAP over HTTP), and each message rebuilt as MIME from its raw header
// block and its parts, then flagged read or moved to the trash. The text routines of the
// rebuild are apart from the requests, so they can be tested and fuzzed alone.
#pragma once

#include <string_view>
#include <vector>

#include "mime_segments.h"
#include "tstr.h"
#include "webmail.h"

void YahooMail_Init(webMail& session);

namespace yahoo {

// The mail index key of a web-service message identifier: the text after its last "_".
std::string_view YahooMsgIDBeta(std::string_view id);

// The explanation of a failed sign-in read from the answer at url, or fallback.
Str LoginErrorText(std::string_view url, std::string_view page, std::string_view fallback);
// True when the answer is a web-service fault; detail then holds its text.
bool FaultText(std::string_view answer, Str& detail);

// A header field's parameter list ("text/plain; charset=utf-8; name=\"a;b.txt\"").
struct HdrParms {
    StrArray names;
    StrArray values;
};
// Splits at ";" outside double quotes; each piece's name is the text before its first
// "=", the value the rest, a quoted value without its quotes (backslash escapes undone).
HdrParms parseHdrParms(std::string_view text);
Str getHdrParmVal(const HdrParms& p, std::string_view name);
void setHdrParmVal(HdrParms& p, std::string_view name, std::string_view value);
// The list written back, "; " between items: values in double quotes with '"' and '\'
// escaped, except extended ("name*") values, which take no quotes; a name without a
// value stays bare.
Str hdrParmStr(const HdrParms& p);
// A parameter list as the service gives it, made valid the same way.
Str requoteParms(std::string_view text);

// One header field located in a header block: 1-based start and length (continuation
// lines and the final CR LF included) and its parameters. An absent field has length 0
// and stands just before the block's final CR LF.
struct HdrField {
    long pos = 0;
    long len = 0;
    HdrParms parms;
};
HdrField parseMailHdr(std::string_view field, std::string_view header);

// Bare LF made CR LF; CR LF stays.
Str crlfLines(std::string_view text);

// How a text body goes out: its charset, its transfer encoding and its bytes. The
// service hands text as UTF-8; us-ascii and iso-8859-1 keep their charset when every
// character fits, anything else is sent as utf-8. Everything but us-ascii is
// quoted-printable.
struct TextBody {
    Str charset;
    Str encoding;
    Str data;
};
TextBody EncodeText(std::string_view charset, std::string_view utf8Text);

// A header block made to say what is sent for a message of one part: its Content-Type
// charset (when charset is not empty) and its Content-Transfer-Encoding.
Str LabelHeaderBlock(std::string_view header, std::string_view charset, std::string_view encoding);

// What the top part is sent as when the message has one part (its header block is
// labelled with it); empty encoding for a multipart message.
struct TopLabel {
    Str charset; // empty unless the part is text
    Str encoding;
};

// The parts of a GetMessage answer as the segments that rebuild the message after its
// header block. Null, or a data failure's explanation.
const char* BuildParts(std::string_view answer, MimeSegments& out, TopLabel& top);

// The deepest nesting of parts a message may have.
constexpr int kMaxPartDepth = 32;

} // namespace yahoo
