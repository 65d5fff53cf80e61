#include "accounts.h"

#include "hotmail.h"
#include "yahoo.h"
#include "tstr.h"

namespace {

constexpr AccountModule kModules[] = {
    {"AOL", AolMail_Init},           {"Gmail", GmailMail_Init}, {"Hotmail", HotmailMail_Init},
    {"MSN", HotmailMail_Init},       {"Netscape", NetscapeMail_Init}, {"Yahoo", YahooMail_Init},
    {"IMAP", ImapMail_Init},
    {nullptr, PopMail_Init},
};

} // namespace

const AccountModule& FindModule(std::string_view acctType) {
    for (const AccountModule& m : kModules)
        if (!m.typeName || strcmpi(acctType, m.typeName) == 0) return m;
    return kModules[std::size(kModules) - 1];
}
