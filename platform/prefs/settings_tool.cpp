// tarnwell-settings: reads and writes Tarnwell's settings from the command line, for
// tests, the demo and users without a desktop. Every write is refused when the agent
// could not read it back as written or would pass over it.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "account_record.h"
#include "base64_codec.h"
#include "prefs.h"
#include "services.h"
#include "tstr.h"

namespace {

constexpr std::string_view kAppId = "com.vexlo.Tarnwell";
constexpr std::string_view kAccountKey = "Account";
// The agent converts each value into a buffer of 512 bytes.
constexpr std::size_t kMaxValue = 511;
constexpr std::size_t kMaxAccounts = 20;

// Keys the agent reads as one plain string each.
constexpr std::string_view kSingleValueKeys[] = {"SMTPHost", "SMTPSecure", "SMTPAuth",        "SMTPVfy",
                                                 "dftFwd",   "autoFwd",    "autoTime",        "showMenu",
                                                 "HotmailStartURL", "HotmailLoginHost", "YahooStartURL",
                                                 "YahooLoginHost"};
// Keys the agent reads as Base64, written only through their own commands.
constexpr std::pair<std::string_view, std::string_view> kEncodedKeys[] = {{"SMTPLogin", "smtp-login"},
                                                                          {"SMTPFrom", "smtp-from"}};

constexpr const char* kUsage =
    "usage: tarnwell-settings read [KEY]\n"
    "       tarnwell-settings write KEY VALUE\n"
    "       tarnwell-settings write KEY --array [VALUE...]\n"
    "       tarnwell-settings delete KEY\n"
    "       tarnwell-settings smtp-login USER PASSWORD|-\n"
    "       tarnwell-settings smtp-from ADDRESS\n"
    "       tarnwell-settings account list\n"
    "       tarnwell-settings account add --address ADDRESS --password PASSWORD|- [OPTION VALUE]...\n"
    "       tarnwell-settings account set N [OPTION VALUE]...\n"
    "       tarnwell-settings account delete N\n"
    "Account options: --address --password --server HOST[:PORT] --forward --login TEXT,\n"
    "  --type AOL|Gmail|Hotmail|MSN|Netscape|Yahoo|POP|IMAP (default: chosen from the\n"
    "  address's domain), --leave --secure --enable 0|1. Accounts are numbered from 1.\n"
    "  POP and IMAP accounts need --server; the other types use their service's server.\n"
    "A password on the command line can be read by every user of this computer in the\n"
    "process table (ps): give \"-\" instead, and the password is read from standard input.\n";

struct UsageError {
    std::string problem;
};
struct Failure {
    std::string message;
};

using Account = account::Record;

// What "account add" starts from.
Account newAccount() {
    Account a;
    a.forward = "(default)";
    a.leave = "0";
    a.secure = "0";
    a.enable = "1";
    return a;
}

// The agent reads every value as ASCII text; a line break would also end a protocol line.
void checkText(std::string_view what, std::string_view text, bool tabAllowed = false) {
    if (text.find_first_of(tabAllowed ? "\r\n" : "\t\r\n") != std::string_view::npos) {
        throw Failure{std::string(what) + (tabAllowed ? " must not contain a line break" : " must not contain a tab or line break")};
    }
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        throw Failure{std::string(what) + " must be ASCII text (the agent reads no other characters)"};
    }
}

void checkLength(std::string_view what, std::string_view stored) {
    if (stored.size() > kMaxValue) {
        throw Failure{std::string(what) + " would be stored as " + std::to_string(stored.size()) +
                      " characters; the agent reads at most " + std::to_string(kMaxValue)};
    }
}

void checkNoColon(std::string_view what, std::string_view text) {
    if (text.find(':') != std::string_view::npos) {
        throw Failure{std::string(what) + " must not contain ':' (the agent splits at it and could not read it back whole)"};
    }
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out + '"';
}

std::string shown(const prefs::Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return quoted(*text);
    std::string out = "(";
    const char* separator = "\n    ";
    for (const auto& item : std::get<std::vector<std::string>>(value)) {
        out += separator + quoted(item);
        separator = ",\n    ";
    }
    return out + "\n)";
}

// Loads the domain; a file moved aside is reported but not fatal.
void synchronize(prefs::Domain& domain) {
    const bool ok = domain.AppSynchronize();
    if (!ok) throw Failure{domain.LastProblem()};
    if (!domain.LastProblem().empty()) std::fprintf(stderr, "tarnwell-settings: %s\n", domain.LastProblem().c_str());
}

// The type the agent works with: the stored one, or the one it derives from the server.
std::string_view effectiveType(const Account& a) {
    const std::string_view known = services::KnownType(a.type);
    if (!known.empty()) return known;
    return a.type.empty() ? services::TypeOfServer(a.server) : "POP";
}

// The stored record, refused when the agent could not read it whole.
std::string recordOf(const Account& a) {
    std::string record = account::Encode(a);
    checkLength("the account record", record);
    return record;
}

// Refuses an address that another account already has: both would share one record
// of forwarded mail, so the agent runs only the first of them.
void checkUnique(std::string_view address, std::span<const std::string> list, std::size_t self) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != self && !address.empty() && strcmpi(account::Decode(list[i]).address, address) == 0) {
            throw Failure{"account " + std::to_string(i + 1) + " already has the address " + std::string(address)};
        }
    }
}

using Edits = std::vector<std::pair<std::string Account::*, std::string>>;

bool sets(const Edits& list, std::string Account::*member) {
    return std::any_of(list.begin(), list.end(), [member](const auto& e) { return e.first == member; });
}

// A password given as "-" is read from standard input, without echo on a terminal:
// a command line is visible to every user in the process table.
std::string readPassword() {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::fputs("Password: ", stderr);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    char line[kMaxValue + 2];
    const bool got = std::fgets(line, sizeof line, stdin) != nullptr;
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!got) throw Failure{"no password on standard input"};
    std::string password(line, std::strlen(line));
    if (!password.empty() && password.back() == '\n') {
        password.pop_back();
    } else if (!std::feof(stdin)) {
        throw Failure{"the password on standard input is longer than the agent reads"};
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

// Checked before anything is looked up, so a syntax error is always reported as one.
Edits parseOptions(std::span<const std::string_view> args) {
    static const std::map<std::string_view, std::string Account::*> fields = {
        {"--address", &Account::address}, {"--password", &Account::password}, {"--server", &Account::server},
        {"--forward", &Account::forward}, {"--login", &Account::login},       {"--leave", &Account::leave},
        {"--secure", &Account::secure},   {"--enable", &Account::enable},     {"--type", &Account::type}};
    Edits edits;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const auto field = fields.find(args[i]);
        if (field == fields.end()) throw UsageError{"unknown account option " + std::string(args[i])};
        if (i + 1 == args.size()) throw UsageError{std::string(args[i]) + " needs a value"};
        edits.emplace_back(field->second, args[i + 1]);
    }
    for (auto& edit : edits) {
        const auto member = edit.first;
        auto& value = edit.second;
        if (member == &Account::password && value == "-") value = readPassword();
        const auto name = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.second == member; })->first;
        checkText("the " + std::string(name.substr(2)), value);
        const bool flag = name == "--leave" || name == "--secure" || name == "--enable";
        if (flag && value != "0" && value != "1") throw Failure{std::string(name) + " takes 0 or 1"};
        if (member == &Account::type) {
            const std::string_view known = services::KnownType(value);
            if (known.empty()) throw Failure{"there is no account type " + value + "; the types are AOL, Gmail, Hotmail, MSN, Netscape, Yahoo, POP and IMAP"};
            value = known;
        }
    }
    return edits;
}

// The account as the agent would run it, or a failure naming what it would not accept.
Account checkedAccount(Account a, const Edits& changes) {
    for (const auto& [member, value] : changes) a.*member = value;
    if (a.address.empty()) throw Failure{"the address must not be empty"};
    if (a.password.empty()) throw Failure{"the password must not be empty"};
    checkNoColon("the address", a.address);
    checkNoColon("the password", a.password);
    const auto at = a.address.find('@');
    if (at == std::string::npos || at + 1 == a.address.size()) {
        throw Failure{"the address should be in the form \"me@example.com\""};
    }
    if (a.type.empty()) a.type = services::TypeOfDomain(a.address.substr(at + 1));
    const std::string_view preset = services::PresetServer(a.type);
    if (preset.empty()) {
        if (a.server.empty()) throw Failure{a.type + " accounts need a mail server (--server HOST[:PORT])"};
    } else {
        if (sets(changes, &Account::server) && strcmpi(a.server, preset) != 0) {
            throw Failure{a.type + " accounts use the server " + std::string(preset) + "; leave out --server or give --type POP or IMAP"};
        }
        a.server = preset;
    }
    return a;
}

std::vector<std::string> accounts(const prefs::Domain& domain) {
    const auto value = domain.CopyAppValue(kAccountKey);
    if (!value) return {};
    // The agent reads a plain string as the only record.
    if (const auto* one = std::get_if<std::string>(&*value)) return {*one};
    return std::get<std::vector<std::string>>(*value);
}

// 1-based, as "account list" numbers them.
std::size_t accountIndex(std::string_view text, std::size_t count) {
    std::size_t n = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (err != std::errc() || end != text.data() + text.size() || n < 1 || n > count) {
        throw Failure{"there is no account " + std::string(text) + " (there are " + std::to_string(count) + ")"};
    }
    return n - 1;
}

void listAccounts(const std::vector<std::string>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Account a = account::Decode(list[i]);
        const std::string type(effectiveType(a));
        std::printf("%zu: address=%s type=%s password=%s server=%s forward=%s login=%s leave=%s secure=%s enable=%s\n",
                    i + 1, a.address.c_str(), type.c_str(), a.password.empty() ? "" : "********", a.server.c_str(),
                    a.forward.c_str(), a.login.c_str(), a.leave.c_str(), a.secure.c_str(), a.enable.c_str());
    }
}

void save(prefs::Domain& domain, std::string_view key, std::optional<prefs::Value> value) {
    domain.SetAppValue(key, std::move(value));
    synchronize(domain);
}

int accountCommand(prefs::Domain& domain, std::span<const std::string_view> args) {
    if (args.empty()) throw UsageError{"account needs list, add, set or delete"};
    const std::string_view verb = args[0];
    auto list = accounts(domain);
    if (verb == "list" && args.size() == 1) {
        listAccounts(list);
        return 0;
    }
    if (verb == "add") {
        const Edits changes = parseOptions(args.subspan(1));
        if (!sets(changes, &Account::address) || !sets(changes, &Account::password)) {
            throw UsageError{"account add needs --address and --password"};
        }
        if (list.size() >= kMaxAccounts) throw Failure{"there are already " + std::to_string(kMaxAccounts) + " accounts"};
        const Account a = checkedAccount(newAccount(), changes);
        checkUnique(a.address, list, list.size());
        list.push_back(recordOf(a));
    } else if (verb == "set" && args.size() >= 2) {
        const Edits changes = parseOptions(args.subspan(2));
        const std::size_t i = accountIndex(args[1], list.size());
        // A stored record without a type keeps the one the agent gives it.
        Account current = account::Decode(list[i]);
        current.type = effectiveType(current);
        const Account a = checkedAccount(current, changes);
        checkUnique(a.address, list, i);
        list[i] = recordOf(a);
    } else if (verb == "delete" && args.size() == 2) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(accountIndex(args[1], list.size())));
    } else {
        throw UsageError{"account " + std::string(verb) + " is not a command of its own or has the wrong arguments"};
    }
    save(domain, kAccountKey, prefs::Value(std::move(list)));
    return 0;
}

// What "write" stores is what the agent reads back.
void checkWrite(std::string_view key, bool array, std::span<const std::string_view> values) {
    for (const auto& [encodedKey, command] : kEncodedKeys) {
        if (key == encodedKey) throw Failure{std::string(key) + " is stored encoded; set it with '" + std::string(command) + "'"};
    }
    if (key == kAccountKey && !array) throw Failure{"Account is a list of records; use 'account add' or 'write Account --array'"};
    if (array && std::find(std::begin(kSingleValueKeys), std::end(kSingleValueKeys), key) != std::end(kSingleValueKeys)) {
        throw Failure{"the agent reads " + std::string(key) + " as one value, not a list"};
    }
    for (const auto value : values) {
        checkText("a value", value, true);
        checkLength("a value", value);
    }
    if (key != kAccountKey) return;
    if (values.size() > kMaxAccounts) throw Failure{"the agent reads at most " + std::to_string(kMaxAccounts) + " accounts"};
    const std::vector<std::string> list(values.begin(), values.end());
    for (std::size_t i = 0; i < list.size(); ++i) checkUnique(account::Decode(list[i]).address, std::span(list).first(i), i);
}

int run(std::span<const std::string_view> args) {
    if (args.empty()) throw UsageError{"no command given"};
    const std::string_view command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    prefs::Domain domain(prefs::Domain::DefaultPath(kAppId));
    synchronize(domain);

    if (command == "read" && args.size() <= 2) {
        if (args.size() == 1) {
            for (const auto& key : domain.Keys()) std::printf("%s = %s\n", key.c_str(), shown(*domain.CopyAppValue(key)).c_str());
            return 0;
        }
        const auto value = domain.CopyAppValue(args[1]);
        if (!value) throw Failure{"no value for " + std::string(args[1])};
        const auto* text = std::get_if<std::string>(&*value);
        std::printf("%s\n", text ? text->c_str() : shown(*value).c_str());
        return 0;
    }
    if (command == "write" && args.size() >= 3) {
        const std::string_view key = args[1];
        if (key.empty()) throw Failure{"the key must not be empty"};
        const bool array = args[2] == "--array";
        if (!array && args.size() != 3) throw UsageError{"write KEY takes one value, or --array and the values"};
        const auto values = args.subspan(array ? 3 : 2);
        checkWrite(key, array, values);
        if (!array) {
            save(domain, key, prefs::Value(std::string(values[0])));
            return 0;
        }
        save(domain, key, prefs::Value(std::vector<std::string>(values.begin(), values.end())));
        return 0;
    }
    if (command == "delete" && args.size() == 2) {
        save(domain, args[1], std::nullopt);
        return 0;
    }
    if (command == "smtp-login" && args.size() == 3) {
        const std::string password = args[2] == "-" ? readPassword() : std::string(args[2]);
        checkText("the user name", args[1]);
        checkText("the password", password);
        checkNoColon("the user name", args[1]);
        checkNoColon("the password", password);
        const bool none = args[1].empty() && password.empty();
        const std::string stored = none ? "" : base64::Encode(std::string(args[1]) + ":" + password);
        checkLength("the SMTP login", stored);
        save(domain, "SMTPLogin", prefs::Value(stored));
        return 0;
    }
    if (command == "smtp-from" && args.size() == 2) {
        checkText("the address", args[1]);
        const std::string stored = base64::Encode(args[1]);
        checkLength("the sender address", stored);
        save(domain, "SMTPFrom", prefs::Value(stored));
        return 0;
    }
    if (command == "account") return accountCommand(domain, args.subspan(1));
    throw UsageError{"unknown command or wrong number of arguments: " + std::string(command)};
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const UsageError& usage) {
        std::fprintf(stderr, "tarnwell-settings: %s ('tarnwell-settings --help' shows the usage)\n", usage.problem.c_str());
        return 2;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "tarnwell-settings: %s\n", failure.message.c_str());
        return 1;
    }
}
