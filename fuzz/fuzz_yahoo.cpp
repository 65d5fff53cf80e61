// A Yahoo web-service answer or page as any bytes. Promises checked: the part walk ends
// with steps that each send something, or a named failure; a written parameter list
// reads back to the same names and values; bare LF never survives the line-end
// conversion; Base64 lines do not depend on where the bytes are cut; a fault always
// comes with an explanation.
#include "fuzz_util.h"
#include "yahoo.h"

namespace {

void parts(std::string_view answer) {
    yahoo::MimeSegments segments;
    yahoo::TopLabel top;
    const char* failure = yahoo::BuildParts(answer, segments, top);
    if (!failure)
        for (const auto& seg : segments) fuzz::check(!seg.text.empty() || !seg.downloadPart.empty(), "empty step");
    Str detail;
    if (yahoo::FaultText(answer, detail)) fuzz::check(!detail.empty(), "fault without explanation");
    yahoo::LoginErrorText(answer.substr(0, answer.size() / 3), answer, "x");
}

void parameters(std::string_view text) {
    yahoo::HdrParms first = yahoo::parseHdrParms(text);
    yahoo::HdrParms again = yahoo::parseHdrParms(View(yahoo::hdrParmStr(first)));
    bool extended = false;
    for (const Str& n : first.names) extended |= n.ends_with('*') || n.find_first_of("\";") != Str::npos;
    // An extended value is written without quotes, so only other lists must come back whole.
    if (!extended) {
        fuzz::check(again.names == first.names, "parameter names changed on the way back");
        fuzz::check(again.values == first.values, "parameter values changed on the way back");
    }
    Str lines = yahoo::crlfLines(text);
    for (size_t i = 0; i < lines.size(); ++i)
        fuzz::check(lines[i] != '\n' || (i > 0 && lines[i - 1] == '\r'), "bare LF left");
}

void base64(std::string_view data, size_t cut) {
    Str whole, split;
    yahoo::Base64Lines a, b;
    a.feed(data, whole);
    a.finish(whole);
    b.feed(data.substr(0, cut), split);
    b.feed(data.substr(cut), split);
    b.finish(split);
    fuzz::check(whole == split, "Base64 lines depend on the cut");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view text = fuzz::asText(data + 1, size - 1);
    parts(text);
    parameters(text);
    base64(text, data[0] % (text.size() + 1));
    return 0;
}
