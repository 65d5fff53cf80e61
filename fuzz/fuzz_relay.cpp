// A message as any bytes through the checking relay, delivered in the pieces the NUL
// bytes cut it into, to an SMTP client whose peer only collects (netshim.h); the
// address check and the line breaker also run on the input alone. Promises checked:
// every line reaching the server fits 1000 characters with its CR LF, the relay loses
// no text, and the address check does not depend on the line end.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);

    Str line = ToStr(input);
    vfyLineLen(line);
    fuzz::check(input.size() >= 1000 || line == input, "line breaker changed a short line");
    bool plain = vfyAddressList(input);
    fuzz::check(vfyAddressList(View(NewStr(input, "\r\n"))) == plain, "address check depends on the line end");

    static const std::string server = acceptingServer();
    netshim::play(reinterpret_cast<const uint8_t*>(server.data()), server.size());
    auto smtp = smtp_construct();
    smtp->socket.limits = {1, 1, 1, 1, 8192};
    auto session = webMail_construct();
    session->smtpSocket = smtp.get();
    globals.smtpVfy = 1;
    fuzz::check(smtp_connect(*smtp, "smtp.example.com", "0", "", 0) == 0, "accepting server refused");
    fuzz::check(smtp_msgOpen(*smtp, "from@example.com", "to@example.org") == 0, "message refused");
    fuzz::check(netshim::sent().ends_with("DATA\r\n"), "DATA not sent");
    size_t dataStart = netshim::sent().size();
    InitMsg(*session);
    std::string text;
    for (std::string_view rest = input;;) {
        size_t nul = rest.find('\0');
        std::string_view piece = rest.substr(0, nul);
        text.append(piece);
        fuzz::check(SendMsgText(*session, piece, 0) == 0, "relay failed");
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    fuzz::check(SendMsgText(*session, "", 1) == 0, "final flush failed");
    fuzz::check(smtp_msgClose(*smtp) == 0, "message not accepted");
    smtp_close(*smtp);
    netshim::finish();
    globals.smtpVfy = 0;

    std::string_view sent = netshim::sent();
    sent.remove_prefix(dataStart);
    constexpr std::string_view kEnd = ".\r\nQUIT\r\n";
    fuzz::check(sent.ends_with(kEnd), "message not ended");
    std::string_view body = sent.substr(0, sent.size() - kEnd.size());
    fuzz::check(body.empty() || body.ends_with("\r\n"), "last line not ended");
    for (std::string_view rest = body; !rest.empty();) {
        size_t eol = rest.find("\r\n");
        fuzz::check(eol == std::string_view::npos ? rest.size() <= 998 : eol <= 998, "line longer than 1000");
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 2);
    }
    fuzz::check(fuzz::unstuff(body).size() >= text.size(), "relay lost text");
    return 0;
}
