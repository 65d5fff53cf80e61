#include "services.h"

#include <algorithm>
#include <iterator>
#include <span>
#include <utility>

namespace services {

namespace {

constexpr std::string_view kAolDomain = "aol.com";
constexpr std::string_view kGmailDomain = "gmail.com";
constexpr std::string_view kHotmailDomain = "hotmail.com";
constexpr std::string_view kMsnDomain = "msn.com";
constexpr std::string_view kNetscapeDomain = "netscape.net";
constexpr std::string_view kYahooDomain = "yahoo.com";
// Domain families: every country's domain of the service starts with one of these.
constexpr std::string_view kHotmailFamilies[] = {"hotmail.", "live."};
constexpr std::string_view kYahooFamilies[] = {"yahoo.", "ymail.", "rocketmail."};
constexpr std::string_view kPublicSmtpServers[] = {"smtp.gmail.com", "smtp.googlemail.com", "smtp.mac.com",
                                                   "smtp.aol.com"};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithAny(std::string_view text, std::span<const std::string_view> prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [text](std::string_view p) { return sameText(text.substr(0, p.size()), p); });
}

} // namespace

std::string_view KnownType(std::string_view type) {
    for (std::string_view known : kTypes)
        if (sameText(type, known)) return known;
    return {};
}

std::string_view TypeOfServer(std::string_view server) {
    constexpr std::pair<std::string_view, std::string_view> byDomain[] = {
        {kAolDomain, "AOL"}, {kHotmailDomain, "Hotmail"}, {kMsnDomain, "MSN"}, {kYahooDomain, "Yahoo"}};
    for (const auto& [domain, type] : byDomain)
        if (sameText(server, domain)) return type;
    return "POP";
}

std::string_view TypeOfDomain(std::string_view domain) {
    if (sameText(domain, kAolDomain)) return "AOL";
    if (sameText(domain, kGmailDomain)) return "Gmail";
    if (startsWithAny(domain, kHotmailFamilies)) return "Hotmail";
    if (sameText(domain, kMsnDomain)) return "MSN";
    if (sameText(domain, kNetscapeDomain)) return "Netscape";
    if (startsWithAny(domain, kYahooFamilies)) return "Yahoo";
    return "POP";
}

std::string_view PresetServer(std::string_view type) {
    constexpr std::pair<std::string_view, std::string_view> servers[] = {
        {"AOL", kAolImapServer},         {"Gmail", kGmailPopServer}, {"Hotmail", kHotmailDomain},
        {"MSN", kMsnDomain},             {"Netscape", kNetscapeDomain}, {"Yahoo", kYahooDomain}};
    for (const auto& [preset, server] : servers)
        if (sameText(type, preset)) return server;
    return {};
}

bool IsPublicSmtpServer(std::string_view host) {
    return std::any_of(std::begin(kPublicSmtpServers), std::end(kPublicSmtpServers),
                       [host](std::string_view server) { return sameText(host, server); });
}

} // namespace services
