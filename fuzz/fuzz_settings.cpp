// The settings file as any bytes: the agent reads every setting and the account table
// from it, and a write merged into it must survive. The same bytes are also decoded as
// one "Account" element. Promises checked: a setting the agent takes is ASCII and at
// most 511 characters, an account that cannot run is reported rather than passed over
// as disabled, and a value written is read back whatever the file held.
#include <cstdlib>
#include <filesystem>

#include "fuzz_util.h"
#include "globals.h"
#include "startup.h"

namespace {

bool usable(const Str& value) {
    if (value.size() > kMaxPrefValue) return false;
    for (unsigned char c : value)
        if (c >= 0x80) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("HOME", fuzz::scratchDir().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    const std::string folder = fuzz::scratch("Library/Preferences");
    const std::string path = prefs::Domain::DefaultPath(kAppId);
    std::filesystem::create_directories(folder);
    fuzz::emptyDir(folder);
    fuzz::writeFile(path, input);

    prefs::Domain domain(path);
    readSettings(domain);
    for (const Str* s : {&globals.smtpHost, &globals.smtpAuth, &globals.dftFwd, &globals.autoFwd, &globals.autoTime})
        fuzz::check(usable(*s), "a setting the agent took is not usable");
    // A record with an empty address ends the list, so nothing of it is used.
    for (const AccountRow& row : globals.accounts)
        fuzz::check(row.addr.empty() || !row.problem.empty() || (usable(row.pop) && usable(row.fwd)),
                    "account field");
    releaseSettings();

    domain.SetAppValue("dftFwd", prefs::Value(std::string("me@example.org")));
    if (domain.AppSynchronize()) {
        prefs::Domain reread(path);
        reread.AppSynchronize();
        auto value = reread.CopyAppValue("dftFwd");
        fuzz::check(value && std::get<std::string>(*value) == "me@example.org", "a written value was lost");
    }

    AccountRow row = parseAccountRecord(input);
    fuzz::check(row.addr.find(':') == Str::npos, "address holds the password separator");
    fuzz::check(row.addr.empty() || !row.enable.empty(), "account without enable flag");
    fuzz::check(row.problem.empty() || !row.enable.empty(), "an account that cannot run would pass unreported");
    return 0;
}
