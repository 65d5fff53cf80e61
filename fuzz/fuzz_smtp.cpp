// An SMTP server's reply stream as any bytes (turns cut at NUL bytes, netshim.h):
// greeting, EHLO (HELO after a refusal), RSET, AUTH LOGIN when the first byte is odd, a
// message to two recipients (its envelope pipelined when the replies list PIPELINING)
// and QUIT. The message text is fixed; its DATA must reach the server dot-stuffed and
// ended by the one "." line whatever the replies did before it.
// The input also drives the wire form on its own, cut into pieces at every NUL:
// piece by piece must equal the whole, no bare CR or LF goes out, and unstuffing gives
// the text back with its bare line ends made CR LF.
#include "fuzz_util.h"
#include "netshim.h"
#include "smtp.h"

namespace {

constexpr std::string_view kMessage = "Subject: t\r\n\r\n.leading dot\r\nline\r\n..\r\n.";

void stuffing(std::string_view input) {
    Str whole, tail = ToStr("\r\n");
    smtp_stuffText(tail, input, whole);
    Str pieces;
    tail = ToStr("\r\n");
    std::string plain;
    for (std::string_view rest = input;;) {
        size_t nul = rest.find('\0');
        smtp_stuffText(tail, rest.substr(0, nul), pieces);
        plain.append(rest.substr(0, nul));
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    Str joined;
    tail = ToStr("\r\n");
    smtp_stuffText(tail, plain, joined);
    fuzz::check(pieces == joined, "stuffing depends on where the text was cut");
    fuzz::check(fuzz::unstuff(View(whole)) == fuzz::crlfLineEnds(input), "unstuffing does not give the text back");
    for (size_t i = 0; i < whole.size(); ++i) {
        bool pairedCr = whole[i] == '\r' && i + 1 < whole.size() && whole[i + 1] == '\n';
        bool pairedLf = whole[i] == '\n' && i > 0 && whole[i - 1] == '\r';
        fuzz::check((whole[i] != '\r' || pairedCr) && (whole[i] != '\n' || pairedLf), "a bare line end went out");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    stuffing(fuzz::asText(data, size));

    netshim::play(data, size);
    auto smtp = smtp_construct();
    smtp->socket.limits = {1, 1, 1, 1, 8192};
    const char* auth = size > 0 && (data[0] & 1) ? "1" : "0";
    bool delivered = false;
    if (smtp_connect(*smtp, "smtp.example.com", auth, "user:secret", 0) == 0 &&
        smtp_msgOpen(*smtp, "from@example.com", "a@example.org, b@example.org") == 0) {
        std::string_view text = kMessage;
        bool ok = smtp_msgPut(*smtp, text.substr(0, 20)) == 0 && smtp_msgPut(*smtp, text.substr(20)) == 0;
        delivered = ok && smtp_msgClose(*smtp) == 0;
        smtp_close(*smtp);
    }
    if (delivered) {
        const std::string& sent = netshim::sent();
        const std::string dataCommand = "DATA\r\n";
        size_t start = sent.find(dataCommand);
        fuzz::check(start != std::string::npos, "no DATA sent");
        std::string expected = "Subject: t\r\n\r\n..leading dot\r\nline\r\n...\r\n..\r\n.\r\n";
        fuzz::check(sent.compare(start + dataCommand.size(), expected.size(), expected) == 0, "DATA was not stuffed");
    }
    bSocket_closeSocket(smtp->socket);
    netshim::finish();
    return 0;
}
