// Account modules: the table that picks a module by account type, and the POP and
// IMAP modules with their service presets.
#pragma once

#include "webmail.h"

// One row of the module table; the last row (typeName null) is the default module.
struct AccountModule {
    const char* typeName;
    void (*init)(webMail& session);
};

// The module for an account type (compared without regard to case); every type not
// in the table gets the POP module.
const AccountModule& FindModule(std::string_view acctType);

void PopMail_Init(webMail& session);
void GmailMail_Init(webMail& session);
void ImapMail_Init(webMail& session);
void AolMail_Init(webMail& session);
void NetscapeMail_Init(webMail& session);
