// The mail index file as any bytes: one account's section is read, written back with a
// new identifier and read again, then the file is reorganised for that account alone.
// Promises checked: what was remembered reads back the same, every other line is kept
// byte for byte (its line end becomes LF), and reorganising keeps exactly the account's
// section.
#include <string>
#include <vector>

#include "base64.h"
#include "fuzz_util.h"
#include "globals.h"
#include "mailindex.h"

namespace {

constexpr std::string_view kAccount = "a@b.c";

bool isHeader(std::string_view rec) { return !rec.empty() && rec.front() == '[' && rec.find('\t') == std::string_view::npos; }

bool namesAccount(std::string_view rec) {
    Str addr = Base64_Decode_rLen(rec.size() >= 2 ? rec.substr(1, rec.size() - 2) : std::string_view());
    return strcmpi(View(addr), kAccount) == 0;
}

// Lines as the index reads them: each ends at LF, CR LF or a lone CR.
std::vector<std::string_view> records(std::string_view text) {
    std::vector<std::string_view> recs;
    while (!text.empty()) {
        size_t end = text.find_first_of("\r\n");
        recs.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text = text.substr(end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1));
    }
    return recs;
}

// The lines of other accounts (and those before the first header), each with its LF.
std::string otherLines(std::string_view text) {
    std::string out;
    bool skipping = false;
    for (std::string_view rec : records(text)) {
        if (isHeader(rec)) skipping = namesAccount(rec);
        if (skipping) continue;
        out.append(rec).append("\n");
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratch("index");
    const std::string_view input = fuzz::asText(data, size);
    fuzz::writeFile(path, input);

    auto ix = mailIndex_construct();
    GetAcctIndex(*ix, path, kAccount);
    // What the run driver does with entries it saw again on the server.
    for (Str& mark : ix->msgMarks) {
        if (mark == "E") mark = ToStr("F");
        if (mark == "C") mark = ToStr("D");
    }
    AddAcct(*ix, "new-id");
    MarkAcct(*ix, "new-id", "F");
    std::vector<std::pair<Str, Str>> kept;
    for (size_t i = 0; i < ix->msgIds.size(); ++i) {
        const Str& m = ix->msgMarks[i];
        if (m == "F" || m == "D") kept.emplace_back(ix->msgIds[i], m == "F" ? ToStr("E") : ToStr("C"));
    }
    fuzz::check(PutAcctIndex(*ix) == 0, "PutAcctIndex failed");

    const std::string written = fuzz::readFile(path);
    const std::string others = otherLines(input);
    fuzz::check(written.compare(0, others.size(), others) == 0, "another section changed");

    auto again = mailIndex_construct();
    GetAcctIndex(*again, path, kAccount);
    fuzz::check(again->msgIds.size() == kept.size(), "entry count changed");
    for (size_t i = 0; i < kept.size(); ++i) {
        fuzz::check(again->msgIds[i] == kept[i].first, "identifier changed");
        fuzz::check(again->msgMarks[i] == kept[i].second, "mark changed");
    }

    globals.accounts[0].addr = ToStr(kAccount);
    fuzz::check(ReorgIndex(*again, path) == 0, "ReorgIndex failed");
    globals.accounts[0].addr.clear();
    const std::string reorganised = fuzz::readFile(path);
    std::string expected;
    bool keeping = false;
    for (std::string_view rec : records(written)) {
        if (isHeader(rec)) keeping = namesAccount(rec);
        if (keeping) expected.append(rec).append("\n");
    }
    fuzz::check(reorganised == expected, "reorganised index is not the account's section");
    return 0;
}
