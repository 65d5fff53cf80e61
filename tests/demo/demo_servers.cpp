// Servers for the demo: two private Dovecot instances (the POP box over TLS, the IMAP
// box in plain text) and the Hotmail stand-in, each holding a few realistic messages,
// and an SMTP sink. Prints what the demo script needs, then runs until its standard
// input closes, and stops them all. Commands on standard input: NEW adds a message to
// the POP box, LEFT counts what is left.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "aiosmtpd.h"
#include "dovecot.h"
#include "hotmail_sim.h"
#include "yahoo_sim.h"
#include "testca.h"
#include "testutil.h"

namespace {

std::vector<std::string> popMessages() {
    std::string attachment;
    for (int i = 0; i < 40; ++i) attachment += "VGFybndlbGwgZGVtbyBhdHRhY2htZW50IC0gbm90IGEgcmVhbCBQREYgZmlsZSwganVzdCBieXRlcy4K\n";
    return {
        "From: Ann Example <ann@example.com>\nTo: tester@example.com\nSubject: Lunch on Friday?\n"
        "Date: Tue, 08 Dec 2026 09:12:00 +0000\nMessage-ID: <lunch-1@example.com>\n\n"
        "Hi,\n\nare we still on for lunch on Friday at noon?\n\nAnn\n",
        "From: Billing <billing@example.net>\nTo: tester@example.com\nSubject: Your invoice\n"
        "Date: Tue, 08 Dec 2026 10:00:00 +0000\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain; charset=us-ascii\n\n"
        "Please find the invoice attached.\n\n--b1\nContent-Type: application/pdf; name=\"invoice.pdf\"\n"
        "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"invoice.pdf\"\n\n" +
            attachment + "--b1--\n",
        "From: Dot Person <dots@example.org>\nTo: tester@example.com\nSubject: Lines that start with dots\n\n"
        ".\n..\n.hidden file names look like this\n...and an ellipsis\n",
    };
}

std::vector<std::string> imapMessages() {
    return {
        "From: Newsletter <news@example.com>\nTo: tester@example.com\nSubject: A long line\n\n" +
            std::string(1500, 'x') + "\n",
        "From: Carol <carol@example.com>\nTo: tester@example.com\nSubject: Re: plans\nIn-Reply-To: <p@example.com>\n\n"
        "> quoted text\nSounds good.\n",
    };
}

std::vector<std::string> hotmailMessages() {
    return {
        "From: Travel Desk <trips@example.com>\nTo: tester@hotmail.com\nSubject: Your booking <HX-2291> & seats\n"
        "Date: Mon, 07 Dec 2026 18:30:00 +0000\n\nSeats 14A & 14B are confirmed.\n<Check-in> opens 24 hours before.\n",
        "From: =?utf-8?q?Zo=C3=AB?= <zoe@example.org>\nTo: tester@hotmail.com\nSubject: Photos from the weekend\n"
        "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
        "Here are the photos from the caf\xc3\xa9 \xe2\x80\x94 more soon.\n",
    };
}

std::vector<std::string> yahooMessages() {
    return {
        "From: Library <desk@library.example>\nTo: tester@yahoo.com\nSubject: Your loan is due\n"
        "Date: Mon, 07 Dec 2026 08:00:00 +0000\nMIME-Version: 1.0\nContent-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n\nPlease return \"Caf=E9 Stories\" by Friday.\n",
        "From: Sam <sam@example.net>\nTo: tester@yahoo.com\nSubject: Minutes and the chart\n"
        "Date: Tue, 08 Dec 2026 11:00:00 +0000\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"m1\"\n\n"
        "--m1\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
        "Minutes attached \xe2\x80\x94 see you Thursday.\n\n--m1\nContent-Type: application/octet-stream; name=\"chart.bin\"\n"
        "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"chart.bin\"\n\n"
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7\n--m1--\n",
    };
}

void store(const std::string& folder, const std::string& name, const std::string& text) {
    writeFile(folder + "/" + name, crlf(text));
}

} // namespace

int main() {
    Dovecot popBox, imapBox;
    SmtpSinkOptions sinkOptions;
    sinkOptions.lineLimit = 1 << 20; // like real MTAs, accept lines past 1000 characters
    SmtpSink sink(sinkOptions);
    TempDir stored;
    int n = 0;
    for (const auto& m : popMessages()) {
        popBox.addMessage(m);
        store(stored.path(), "pop-" + std::to_string(++n) + ".eml", m);
    }
    n = 0;
    for (const auto& m : imapMessages()) {
        imapBox.addMessage(m);
        store(stored.path(), "imap-" + std::to_string(++n) + ".eml", m);
    }
    // A Windows Live mailbox, as most Hotmail accounts had: the full variant of a late build.
    HotmailSim hotmail;
    hotmail.scenario(R"({"mailbox": "full", "build": "_15.4.0317.0921"})");
    n = 0;
    for (const auto& m : hotmailMessages()) {
        hotmail.addMessage("msg" + std::to_string(++n), m);
        store(stored.path(), "hotmail-" + std::to_string(n) + ".eml", m);
    }
    YahooSim yahoo;
    n = 0;
    for (const auto& m : yahooMessages()) {
        ++n;
        yahoo.addMessage("1_" + std::to_string(100 + n) + "_AbX" + std::to_string(n), m);
        store(stored.path(), "yahoo-" + std::to_string(n) + ".eml", m);
    }
    std::printf("POP3S 127.0.0.1:%d\nIMAP 127.0.0.1:%d\nSMTP %s\nSINK %s\nSTORED %s\nCA %s\nUSER %s\nPASSWORD %s\n"
                "HOTMAIL_START %s\nHOTMAIL_LOGIN %s\nYAHOO_START %s\nYAHOO_LOGIN %s\nREADY\n",
                popBox.popsPort(), imapBox.imapPort(), sink.server().c_str(), sink.folder().c_str(),
                stored.path().c_str(), testCerts().caCert.c_str(), Dovecot::kUser, Dovecot::kPassword,
                hotmail.startUrl().c_str(), hotmail.loginHost().c_str(), yahoo.startUrl().c_str(),
                yahoo.loginHost().c_str());
    std::fflush(stdout);
    std::string line;
    int added = 0;
    while (std::getline(std::cin, line)) {
        if (line == "NEW") {
            const std::string m = "From: Dan <dan@example.com>\nTo: tester@example.com\nSubject: Fetched by the menu\n\n"
                                  "This one arrived while Tarnwell Menu was running.\n";
            popBox.addMessage(m);
            store(stored.path(), "pop-new-" + std::to_string(++added) + ".eml", m);
            std::printf("ADDED\n");
            std::fflush(stdout);
        } else if (line == "LEFT") {
            std::printf("POP box holds %zu message(s), IMAP box holds %zu message(s), Hotmail inbox holds %zu "
                        "and its trash %zu, Yahoo inbox holds %zu and its trash %zu\n",
                        popBox.messages().size(), imapBox.messages().size(), hotmail.inbox().size(),
                        hotmail.trash().size(), yahoo.inbox().size(), yahoo.trash().size());
            std::fflush(stdout);
        }
    }
    return 0;
}
