#include <gtest/gtest.h>

#include "account_record.h"
#include "base64_codec.h"

namespace {

std::string b64(std::string_view text) { return base64::Encode(text); }

} // namespace

// Decoding a stored record: fields by position, credentials split at the first ":".
TEST(AccountRecordCodec, DecodesByPosition) {
    struct Case {
        std::string stored;
        account::Record want;
    };
    const std::vector<Case> cases = {
        {b64("ann@example.com:pw") + "\tpop.example.com:995\t(default)\t\t" + b64("annie") + "\t1\t0\t1\tPOP\t",
         {"ann@example.com", "pw", "pop.example.com:995", "(default)", "annie", "1", "0", "1", "POP"}},
        {b64("ann@example.com:a:b::c") + "\t", {"ann@example.com", "a:b::c", "", "", "", "", "", "", ""}},
        {b64("ann@example.com") + "\thost", {"ann@example.com", "", "host", "", "", "", "", "", ""}},
        {b64(":pw"), {"", "pw", "", "", "", "", "", "", ""}},
        {"", {}},
        // Field 4 is not read; fields after the ninth are not either.
        {"\tsrv\tfwd\tignored\t\t0\t0\t\tIMAP\textra\t", {"", "", "srv", "fwd", "", "0", "0", "", "IMAP"}},
        // Damaged Base64 yields what came before the damage.
        {"YW5u*QGV4\tsrv", {"ann", "", "srv", "", "", "", "", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        const account::Record r = account::Decode(c.stored);
        EXPECT_EQ((std::vector{r.address, r.password, r.server, r.forward, r.login, r.leave, r.secure, r.enable, r.type}),
                  (std::vector{c.want.address, c.want.password, c.want.server, c.want.forward, c.want.login,
                               c.want.leave, c.want.secure, c.want.enable, c.want.type}));
    }
}

// What is encoded decodes to the same fields, and the stored form is byte-exact.
TEST(AccountRecordCodec, RoundTrips) {
    const std::vector<account::Record> records = {
        {"ann@example.com", "se:cret:", "imap.example.com:993", "a@example.org b@example.org", "ann", "1", "1", "1", "IMAP"},
        {"j\xc3\xb6rg@example.com", "p\xc3\xa4ss", "", "(default)", "", "0", "0", "0", ""},
        {"x@example.com", "", "pop.example.com", "", "login with blanks", "-1", "", "", "POP"},
    };
    for (const account::Record& r : records) {
        SCOPED_TRACE(r.address);
        const std::string stored = account::Encode(r);
        EXPECT_EQ(stored, b64(r.address + ":" + r.password) + "\t" + r.server + "\t" + r.forward + "\t\t" + b64(r.login) +
                              "\t" + r.leave + "\t" + r.secure + "\t" + r.enable + "\t" + r.type + "\t");
        const account::Record back = account::Decode(stored);
        EXPECT_EQ(back.address, r.address);
        EXPECT_EQ(back.password, r.password);
        EXPECT_EQ(account::Encode(back), stored);
    }
}
