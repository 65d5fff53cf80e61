// Names of the mail services the agent knows by name, kept in one place.
#pragma once

#include <string_view>

// Mail domains that, typed as an account's server, select the service's account type.
struct ServiceDomain {
    std::string_view domain;
    std::string_view type;
};
inline constexpr ServiceDomain kServiceDomains[] = {
    {"aol.com", "AOL"},
    {"hotmail.com", "Hotmail"},
    {"msn.com", "MSN"},
    {"yahoo.com", "Yahoo"},
};

// Servers of the account presets.
inline constexpr std::string_view kGmailPopServer = "pop.gmail.com";
inline constexpr std::string_view kAolImapServer = "imap.aol.com";
inline constexpr std::string_view kNetscapeImapServer = "imap.netscape.net";
