// What a traced run leaves under HOME can be handed to someone helping: no password in
// clear or in Base64 outside the settings file, and every file readable by its owner only.
#include <gtest/gtest.h>

#include <filesystem>

#include "agent_home.h"
#include "prefs.h"
#include "suites.h"

namespace fs = std::filesystem;

namespace {

class Secrets : public DovecotSuite {};

} // namespace

TEST_F(Secrets, TracedRunLeavesNoPasswordAndOnlyPrivateFiles) {
    const std::string smtpUser = "relay-user", smtpPassword = "Smtp-pa55word";
    SmtpSinkOptions options;
    options.user = smtpUser;
    options.password = smtpPassword;
    SmtpSink sink(options);
    dovecot().addMessage("Subject: one\n\nfirst\n");

    AgentHome home;
    // One POP account (USER/PASS), one IMAP account (AUTHENTICATE PLAIN) and one that
    // logs in with LOGIN through a relay that hides SASL PLAIN.
    PlainHidingRelay relay(dovecot().imapPort());
    home.settings({record({"pop@example.com", local(dovecot().popPort())}),
                   record({"imap@example.com", local(dovecot().imapPort()), true, "IMAP"}),
                   record({"login@example.com", local(relay.port()), true, "IMAP"})},
                  sink.server());
    {
        prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
        domain.SetAppValue("SMTPAuth", std::string("1"));
        domain.SetAppValue("SMTPLogin", b64(smtpUser + ":" + smtpPassword));
        ASSERT_TRUE(domain.AppSynchronize());
    }
    home.run({"-d"});
    ASSERT_EQ(sink.count(), 3u) << home.log();
    ASSERT_EQ(sink.messages()[0].authUser, smtpUser);
    ASSERT_NE(home.trace().find("POP<-PASS"), std::string::npos);

    const std::string mail = Dovecot::kPassword;
    const std::vector<std::string> secrets = {
        mail, smtpPassword, b64(mail), b64(smtpPassword), b64(std::string(Dovecot::kUser) + ":" + mail),
        b64(std::string("\0", 1) + Dovecot::kUser + std::string("\0", 1) + mail),
        b64("pop@example.com:" + mail), b64("imap@example.com:" + mail), b64("login@example.com:" + mail),
        b64(smtpUser + ":" + smtpPassword)};
    const std::string settingsFile = fs::path(home.file("Library/Preferences/com.vexlo.Tarnwell.plist")).string();
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home.path())) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const std::string path = entry.path().string();
        EXPECT_EQ(fileMode(path), 0600u) << path;
        // The settings file is where credentials are kept (as Base64); nowhere else.
        if (path == settingsFile) continue;
        const std::string text = readFile(path);
        for (const std::string& secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << path << ": " << secret;
    }
    EXPECT_GE(files, 4); // settings, index, log, trace log
}
