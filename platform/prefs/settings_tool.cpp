// tarnwell-settings: reads and writes Tarnwell's settings from the command line, for
// tests, the demo and users without a desktop. Every write is refused when the agent
// could not read it back as written.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base64.h"
#include "prefs.h"

namespace {

constexpr std::string_view kAppId = "com.vexlo.Tarnwell";
constexpr std::string_view kAccountKey = "Account";
// The agent converts each value into a buffer of 512 bytes.
constexpr std::size_t kMaxValue = 511;
constexpr std::size_t kMaxAccounts = 20;

constexpr const char* kUsage =
    "usage: tarnwell-settings read [KEY]\n"
    "       tarnwell-settings write KEY VALUE\n"
    "       tarnwell-settings write KEY --array [VALUE...]\n"
    "       tarnwell-settings delete KEY\n"
    "       tarnwell-settings smtp-login USER PASSWORD\n"
    "       tarnwell-settings smtp-from ADDRESS\n"
    "       tarnwell-settings account list\n"
    "       tarnwell-settings account add --address ADDRESS [OPTION VALUE]...\n"
    "       tarnwell-settings account set N [OPTION VALUE]...\n"
    "       tarnwell-settings account delete N\n"
    "Account options: --address --password --server --forward --login --type TEXT,\n"
    "                 --leave --secure --enable 0|1. Accounts are numbered from 1.\n";

struct UsageError {};
struct Failure {
    std::string message;
};

struct Account {
    std::string address, password, server, forward = "(default)", login;
    std::string leave = "0", secure = "0", enable = "1", type;
};

std::string toStd(const Str& s) { return std::string(s.data(), s.size()); }
std::string encode(std::string_view text) { return toStd(Base64_Encode(text)); }
std::string decode(std::string_view text) { return toStd(Base64_Decode_rLen(text)); }

void checkText(std::string_view what, std::string_view text, bool tabAllowed = false) {
    if (text.find_first_of(tabAllowed ? "\r\n" : "\t\r\n") != std::string_view::npos) {
        throw Failure{std::string(what) + (tabAllowed ? " must not contain a line break" : " must not contain a tab or line break")};
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

std::vector<std::string> splitTabs(std::string_view record) {
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const auto tab = record.find('\t', start);
        fields.emplace_back(record.substr(start, tab - start));
        if (tab == std::string_view::npos) return fields;
        start = tab + 1;
    }
}

Account parseRecord(std::string_view record) {
    auto fields = splitTabs(record);
    fields.resize(std::max<std::size_t>(fields.size(), 9));
    const std::string credentials = decode(fields[0]);
    const auto colon = credentials.find(':');
    Account a;
    a.address = credentials.substr(0, colon);
    a.password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
    a.server = fields[1];
    a.forward = fields[2];
    a.login = decode(fields[4]);
    a.leave = fields[5];
    a.secure = fields[6];
    a.enable = fields[7];
    a.type = fields[8];
    return a;
}

// Nine fields, each followed by a tab; field 4 is reserved and stays empty.
std::string recordOf(const Account& a) {
    if (a.address.empty()) throw Failure{"an account needs an address (--address)"};
    checkNoColon("the address", a.address);
    checkNoColon("the password", a.password);
    const std::string record = encode(a.address + ":" + a.password) + '\t' + a.server + '\t' + a.forward + "\t\t" +
                               encode(a.login) + '\t' + a.leave + '\t' + a.secure + '\t' + a.enable + '\t' + a.type + '\t';
    checkLength("the account record", record);
    return record;
}

using Edits = std::vector<std::pair<std::string Account::*, std::string_view>>;

// Checked before anything is looked up, so a syntax error is always reported as one.
Edits parseOptions(std::span<const std::string_view> args) {
    static const std::map<std::string_view, std::string Account::*> fields = {
        {"--address", &Account::address}, {"--password", &Account::password}, {"--server", &Account::server},
        {"--forward", &Account::forward}, {"--login", &Account::login},       {"--leave", &Account::leave},
        {"--secure", &Account::secure},   {"--enable", &Account::enable},     {"--type", &Account::type}};
    if (args.size() % 2 != 0) throw UsageError{};
    Edits edits;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const auto field = fields.find(args[i]);
        if (field == fields.end()) throw UsageError{};
        edits.emplace_back(field->second, args[i + 1]);
    }
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const std::string name(args[i]);
        checkText("the " + name.substr(2), args[i + 1]);
        const bool flag = name == "--leave" || name == "--secure" || name == "--enable";
        if (flag && args[i + 1] != "0" && args[i + 1] != "1") throw Failure{name + " takes 0 or 1"};
    }
    return edits;
}

Account edited(Account a, const Edits& edits) {
    for (const auto& [member, value] : edits) a.*member = value;
    return a;
}

std::vector<std::string> accounts(const prefs::Domain& domain) {
    const auto value = domain.CopyAppValue(kAccountKey);
    if (!value) return {};
    const auto* list = std::get_if<std::vector<std::string>>(&*value);
    if (!list) throw Failure{"the Account setting is not a list; remove it with 'delete Account' first"};
    return *list;
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
        const Account a = parseRecord(list[i]);
        std::printf("%zu: address=%s password=%s server=%s forward=%s login=%s leave=%s secure=%s enable=%s type=%s\n",
                    i + 1, a.address.c_str(), a.password.empty() ? "" : "********", a.server.c_str(),
                    a.forward.c_str(), a.login.c_str(), a.leave.c_str(), a.secure.c_str(), a.enable.c_str(),
                    a.type.c_str());
    }
}

void save(prefs::Domain& domain, std::string_view key, std::optional<prefs::Value> value) {
    domain.SetAppValue(key, std::move(value));
    synchronize(domain);
}

int accountCommand(prefs::Domain& domain, std::span<const std::string_view> args) {
    if (args.empty()) throw UsageError{};
    const std::string_view verb = args[0];
    auto list = accounts(domain);
    if (verb == "list" && args.size() == 1) {
        listAccounts(list);
        return 0;
    }
    if (verb == "add") {
        if (list.size() >= kMaxAccounts) throw Failure{"there are already " + std::to_string(kMaxAccounts) + " accounts"};
        list.push_back(recordOf(edited(Account{}, parseOptions(args.subspan(1)))));
    } else if (verb == "set" && args.size() >= 2) {
        const Edits edits = parseOptions(args.subspan(2));
        const std::size_t i = accountIndex(args[1], list.size());
        list[i] = recordOf(edited(parseRecord(list[i]), edits));
    } else if (verb == "delete" && args.size() == 2) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(accountIndex(args[1], list.size())));
    } else {
        throw UsageError{};
    }
    save(domain, kAccountKey, prefs::Value(std::move(list)));
    return 0;
}

int run(std::span<const std::string_view> args) {
    if (args.empty()) throw UsageError{};
    const std::string_view command = args[0];
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
        if (!array && args.size() != 3) throw UsageError{};
        const auto values = args.subspan(array ? 3 : 2);
        for (const auto value : values) {
            checkText("a value", value, true);
            checkLength("a value", value);
        }
        if (!array) {
            save(domain, key, prefs::Value(std::string(values[0])));
            return 0;
        }
        if (key == kAccountKey && values.size() > kMaxAccounts) {
            throw Failure{"the agent reads at most " + std::to_string(kMaxAccounts) + " accounts"};
        }
        save(domain, key, prefs::Value(std::vector<std::string>(values.begin(), values.end())));
        return 0;
    }
    if (command == "delete" && args.size() == 2) {
        save(domain, args[1], std::nullopt);
        return 0;
    }
    if (command == "smtp-login" && args.size() == 3) {
        checkText("the user name", args[1]);
        checkText("the password", args[2]);
        checkNoColon("the user name", args[1]);
        checkNoColon("the password", args[2]);
        const bool none = args[1].empty() && args[2].empty();
        const std::string stored = none ? "" : encode(std::string(args[1]) + ":" + std::string(args[2]));
        checkLength("the SMTP login", stored);
        save(domain, "SMTPLogin", prefs::Value(stored));
        return 0;
    }
    if (command == "smtp-from" && args.size() == 2) {
        checkText("the address", args[1]);
        const std::string stored = encode(args[1]);
        checkLength("the sender address", stored);
        save(domain, "SMTPFrom", prefs::Value(stored));
        return 0;
    }
    if (command == "account") return accountCommand(domain, args.subspan(1));
    throw UsageError{};
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const UsageError&) {
        std::fputs(kUsage, stderr);
        return 2;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "tarnwell-settings: %s\n", failure.message.c_str());
        return 1;
    }
}
