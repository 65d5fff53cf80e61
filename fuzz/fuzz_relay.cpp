// A message as any bytes through the checking relay, to an SMTP client whose peer only
// collects (netshim.h), once in one piece and once in the pieces the NUL bytes cut it
// into; the address check and the line breaker also run on the input alone. Promises
// checked: what reaches the server does not depend on how the text arrived, every line
// fits 1000 characters with its CR LF, the relay neither loses nor invents text (it only
// adds CR LF breaks and "X-Original-" prefixes), and the address check does not depend
// on the line end.
#include <vector>

#include "fuzz_util.h"
#include "globals.h"
#include "netshim.h"
#include "relay.h"
#include "smtp.h"
#include "webmail.h"

namespace {

// A server that accepts everything, as one turn per reply the client waits for.
std::string acceptingServer() {
    std::string s;
    for (const char* reply : {"220 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                              "250 ok\r\n", "221 bye\r\n"}) {
        s.append(reply);
        s.push_back('\0');
    }
    return s;
}

std::string withoutLineEnds(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != '\r' && c != '\n') out.push_back(c);
    return out;
}

// True when out is in with copies of "X-Original-" inserted somewhere. Searched over
// (position in in, copies so far) because in may hold the prefix itself.
bool inWithPrefixesAdded(std::string_view in, std::string_view out) {
    constexpr std::string_view kPrefix = "X-Original-";
    if (out.size() < in.size() || (out.size() - in.size()) % kPrefix.size()) return false;
    const size_t copies = (out.size() - in.size()) / kPrefix.size();
    std::vector<bool> seen((in.size() + 1) * (copies + 1));
    std::vector<std::pair<size_t, size_t>> todo{{0, 0}};
    while (!todo.empty()) {
        auto [i, k] = todo.back();
        todo.pop_back();
        if (seen[i * (copies + 1) + k]) continue;
        seen[i * (copies + 1) + k] = true;
        const size_t j = i + k * kPrefix.size();
        if (i == in.size() && k == copies) return true;
        if (k < copies && out.substr(j, kPrefix.size()) == kPrefix) todo.emplace_back(i, k + 1);
        if (i < in.size() && j < out.size() && in[i] == out[j]) todo.emplace_back(i + 1, k);
    }
    return false;
}

// What the relay sends between DATA and the end of the message, given the text in the
// pieces its NUL bytes cut it into.
std::string relayed(std::string_view input) {
    static const std::string server = acceptingServer();
    netshim::play(reinterpret_cast<const uint8_t*>(server.data()), server.size());
    auto smtp = smtp_construct();
    smtp->socket.limits = {1, 1, 1, 1, 8192};
    auto session = webMail_construct();
    session->smtpSocket = smtp.get();
    fuzz::check(smtp_connect(*smtp, "smtp.example.com", "0", "", 0) == 0, "accepting server refused");
    fuzz::check(smtp_msgOpen(*smtp, "from@example.com", "to@example.org") == 0, "message refused");
    fuzz::check(netshim::sent().ends_with("DATA\r\n"), "DATA not sent");
    const size_t dataStart = netshim::sent().size();
    InitMsg(*session);
    for (std::string_view rest = input;;) {
        const size_t nul = rest.find('\0');
        fuzz::check(SendMsgText(*session, rest.substr(0, nul), 0) == 0, "relay failed");
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    fuzz::check(SendMsgText(*session, "", 1) == 0, "final flush failed");
    fuzz::check(smtp_msgClose(*smtp) == 0, "message not accepted");
    smtp_close(*smtp);
    netshim::finish();

    std::string_view sent = netshim::sent();
    sent.remove_prefix(dataStart);
    constexpr std::string_view kEnd = ".\r\nQUIT\r\n";
    fuzz::check(sent.ends_with(kEnd), "message not ended");
    return std::string(sent.substr(0, sent.size() - kEnd.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);

    Str line = ToStr(input);
    vfyLineLen(line);
    fuzz::check(input.size() >= 1000 ? withoutLineEnds(View(line)) == withoutLineEnds(input) : line == input,
                "line breaker changed more than line ends");
    bool plain = vfyAddressList(input);
    fuzz::check(vfyAddressList(View(NewStr(input, "\r\n"))) == plain, "address check depends on the line end");

    const std::string text = fuzz::withoutNuls(input);
    globals.smtpVfy = 1;
    const std::string body = relayed(text);
    fuzz::check(relayed(input) == body, "relay output depends on how the text arrived");
    globals.smtpVfy = 0;

    fuzz::check(body.empty() || body.ends_with("\r\n"), "last line not ended");
    for (std::string_view rest = body; !rest.empty();) {
        size_t eol = rest.find("\r\n");
        fuzz::check(eol == std::string_view::npos ? rest.size() <= 998 : eol <= 998, "line longer than 1000");
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 2);
    }
    fuzz::check(inWithPrefixesAdded(withoutLineEnds(text), withoutLineEnds(fuzz::unstuff(body))),
                "relay changed the text");
    return 0;
}
