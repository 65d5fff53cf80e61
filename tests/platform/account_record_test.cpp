#include <gtest/gtest.h>

#include "account_record.h"
#include "base64_codec.h"

// Fields by position, the credentials split at the first ":", and the stored form again.
TEST(AccountRecordCodec, DecodesByPositionAndEncodesTheStoredForm) {
    const auto b64 = [](std::string_view text) { return base64::Encode(text); };
    struct Case {
        std::string stored;
        std::vector<std::string> fields; // address, password, server, forward, login, leave, secure, enable, type
        std::string encoded;             // empty: the same as stored
    };
    const std::vector<Case> cases = {
        {b64("ann@example.com:se:cret:") + "\tpop.example.com:995\t(default)\t\t" + b64("annie") + "\t1\t0\t1\tPOP\t",
         {"ann@example.com", "se:cret:", "pop.example.com:995", "(default)", "annie", "1", "0", "1", "POP"}, ""},
        {b64("j\xc3\xb6rg@example.com:p\xc3\xa4ss") + "\t\t\t\t\t\t\t\t\t",
         {"j\xc3\xb6rg@example.com", "p\xc3\xa4ss", "", "", "", "", "", "", ""}, ""},
        {b64("ann@example.com") + "\thost", {"ann@example.com", "", "host", "", "", "", "", "", ""},
         b64("ann@example.com:") + "\thost\t\t\t\t\t\t\t\t"},
        {"", {"", "", "", "", "", "", "", "", ""}, b64(":") + "\t\t\t\t\t\t\t\t\t"},
        // Field 4 and fields after the ninth are not read; damaged Base64 yields what came before.
        {"YW5u*QGV4\tsrv\tfwd\tignored\t\t0\t0\t\tIMAP\textra\t", {"ann", "", "srv", "fwd", "", "0", "0", "", "IMAP"},
         b64("ann:") + "\tsrv\tfwd\t\t\t0\t0\t\tIMAP\t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        const account::Record r = account::Decode(c.stored);
        EXPECT_EQ((std::vector{r.address, r.password, r.server, r.forward, r.login, r.leave, r.secure, r.enable, r.type}),
                  c.fields);
        EXPECT_EQ(account::Encode(r), c.encoded.empty() ? c.stored : c.encoded);
    }
}
