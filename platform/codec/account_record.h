// One element of the "Account" setting: nine fields, each followed by a tab.
//
//   1 Base64 of address ":" password   4 reserved, always empty   7 TLS flag
//   2 mail server (host[:port])        5 Base64 of the login name 8 enabled flag
//   3 forwarding address               6 leave-on-server flag     9 account type
//
// The agent, tarnwell-settings and the preferences window read and write records only
// through Decode and Encode. Each reader applies its own defaults to empty fields.
#pragma once

#include <string>
#include <string_view>

namespace account {

struct Record {
    std::string address, password, server, forward, login, leave, secure, enable, type;
};

// Fields by position; missing ones are empty and field 4 is not read. Field 1 is
// decoded and split at its first ":", so the password keeps any further ":"; without a
// ":" the password is empty. Field 5 is decoded. Decoded texts are the stored bytes.
Record Decode(std::string_view stored);
// The stored form: field 4 empty and a tab after every field, the last one included.
std::string Encode(const Record& record);

} // namespace account
