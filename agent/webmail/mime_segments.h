// The steps of a rebuilt message as the relay receives them: text, and attachments
// downloaded while the message is being sent, in Base64 lines.
#pragma once

#include <string_view>
#include <vector>

#include "tstr.h"

namespace yahoo {

// Bytes to Base64 lines of 76 characters (groups of 57 bytes), fed in pieces.
class Base64Lines {
public:
    // Appends the lines that the pieces so far complete.
    void feed(std::string_view piece, Str& out);
    // The last, shorter line, when bytes remain.
    void finish(Str& out);

private:
    Str held_;
};

// One step of a rebuilt message: text to send, or an attachment to download and send.
struct MimeSegment {
    Str text;
    Str downloadPart; // the part identifier to download after text, or empty
    bool asBase64 = true; // the download is sent in Base64 lines, else as it is
};
using MimeSegments = std::vector<MimeSegment, TrackedAllocator<MimeSegment>>;

} // namespace yahoo
