// Names of the mail services Tarnwell knows by name, kept in one place: the agent
// derives an account's type from its server, the settings tool from its address, and
// the presets connect to the servers below.
#pragma once

#include <string_view>

// Servers of the account presets.
inline constexpr std::string_view kGmailPopServer = "pop.gmail.com";
inline constexpr std::string_view kAolImapServer = "imap.aol.com";
inline constexpr std::string_view kNetscapeImapServer = "imap.netscape.net";

// Where the web-mail modules sign in. Settings the preferences window does not show
// ("HotmailStartURL", "HotmailLoginHost", "YahooStartURL", "YahooLoginHost") replace
// them, so tests and the demo can point the agent at stand-ins.
inline constexpr std::string_view kHotmailStartUrl = "http://mail.live.com/";
inline constexpr std::string_view kHotmailLoginHost = "login.live.com";
inline constexpr std::string_view kYahooStartUrl = "http://mail.yahoo.com/";
inline constexpr std::string_view kYahooLoginHost = "login.yahoo.com";

namespace services {

// The account types, as they are stored.
inline constexpr std::string_view kTypes[] = {"AOL", "Gmail", "Hotmail", "MSN", "Netscape", "Yahoo", "POP", "IMAP"};

// The stored spelling of a type named without regard to case; empty when unknown.
std::string_view KnownType(std::string_view type);
// The type the agent gives a record without one: its server compared as a whole,
// without regard to case, with the mail domains of AOL, Hotmail, MSN and Yahoo; "POP"
// for any other server.
std::string_view TypeOfServer(std::string_view server);
// The type an address's domain suggests, as the preferences window chooses it when the
// address is typed: a known mail domain or domain family, else "POP".
std::string_view TypeOfDomain(std::string_view domain);
// The server stored for a preset type, whatever was typed; empty for "POP" and "IMAP".
std::string_view PresetServer(std::string_view type);
// Whether host (without a port), compared without regard to case, is one of the public
// SMTP servers that accept mail only from their own users: Gmail's two, .Mac's and AOL's.
bool IsPublicSmtpServer(std::string_view host);

} // namespace services
