// A web page as any bytes: every form on it is scanned (action, fields, the request
// body built from them), and the text helpers the web modules apply to pages run over
// it. Promises checked: scanning moves forward and ends, fields come in name/value
// pairs, percent-encoding round-trips and uses only its own alphabet, decoders never
// lengthen text, values found are parts of the page, and no NUL survives the guard.
#include <cctype>

#include "fuzz_util.h"
#include "texthelpers.h"
#include "webmail.h"

namespace {

bool partOf(const Str& value, std::string_view text) { return text.find(View(value)) != std::string_view::npos; }

void forms(std::string_view page) {
    auto session = webMail_construct();
    webFormInit(*session);
    for (int n = 0; n < 64; ++n) {
        long before = session->formPos;
        webFormParse(*session, page);
        if (session->formPos == 0) break;
        fuzz::check(session->formPos >= before && session->formLen > 0, "form scan went backwards");
        fuzz::check(session->formNames.size() == session->formValues.size(), "names and values out of step");
        for (const Str& name : session->formNames) fuzz::check(!name.empty() && partOf(name, page), "field name");
        fuzz::check(partOf(session->formAction, page), "action not on the page");
        Str body = webFormParmStr(*session);
        fuzz::check(session->formNames.empty() == body.empty(), "request body");
        session->formPos += session->formLen;
    }
}

void helpers(std::string_view text) {
    Str encoded = EncodeURLComponent(text);
    for (char c : encoded) fuzz::check(std::isalnum(static_cast<unsigned char>(c)) || c == '%', "encoded alphabet");
    // "%00" is never decoded, so only text without NUL comes back whole.
    if (text.find('\0') == std::string_view::npos)
        fuzz::check(DecodeURLComponent(View(encoded)) == text, "percent-encoding does not round-trip");
    fuzz::check(DecodeURLComponent(text).size() <= text.size(), "decoding lengthened text");

    Str html = ToStr(text);
    fuzz::check(HTMLText_decode(html).size() <= text.size(), "HTML decoding lengthened text");
    Str escaped = ToStr(text);
    fuzz::check(EscapeText_decode(escaped).size() <= text.size(), "escape decoding lengthened text");

    for (long pos : {1L, 2L, static_cast<long>(text.size() / 2), static_cast<long>(text.size()),
                     static_cast<long>(text.size()) + 1, 0L, -1L}) {
        fuzz::check(partOf(getVal(pos, " >\"", text), text), "getVal result not in the text");
        fuzz::check(partOf(webFormParseUrl(pos, text, "\"'", "\"'"), text), "URL not in the text");
    }
    for (std::string_view kw : {"url", "name", "value", "action", ""}) {
        fuzz::check(partOf(getKwdVal(kw, "=", "", " >", text), text), "keyword value not in the text");
        fuzz::check(partOf(getKwdVal(kw, ":", " ;", "\r\n;", text), text), "keyword value not in the text");
    }

    Str guarded = ToStr(text);
    NullCharRpl(guarded.data(), guarded.size());
    fuzz::check(guarded.find('\0') == Str::npos && guarded.size() == text.size(), "NUL survived the guard");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view page = fuzz::asText(data, size);
    forms(page);
    helpers(page);
    return 0;
}
