// An account whose forwarded messages cannot be recorded forwards nothing: the built
// agent against real Dovecot and aiosmtpd with the mail index on a full file system,
// on a read-only one, and with its path taken by a folder. The file systems are a small
// tmpfs mounted over the preferences folder in a private mount namespace (unshare).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent_home.h"
#include "prefs.h"

namespace {

bool unshareWorks() {
    return runProgram({"/usr/bin/unshare", "-Urm", "/bin/sh", "-c", "mount -t tmpfs tmpfs /mnt"}, "/", 10).exitStatus ==
           0;
}

// A shell command that runs the agent with HOME/Library/Preferences on a tmpfs holding
// a copy of the settings and index, filled up ("full") or read-only ("ro"), and puts
// the index the agent left there back in place afterwards.
std::string agentOnTmpfs(const std::string& mode, const std::string& stash) {
    return "set -e; P=\"$HOME/Library/Preferences\"; S='" + stash +
           "'; mkdir -p \"$S\"; cp -a \"$P\"/. \"$S\"/; "
           "mount -t tmpfs -o size=256k tmpfs \"$P\"; cp -a \"$S\"/. \"$P\"/; " +
           (mode == "full" ? "cat /dev/zero > \"$P/filler\" 2>/dev/null || true; "
                           : "mount -o remount,ro \"$P\"; ") +
           "'" + kAgent + "'; I=com.vexlo.Tarnwell.index; rm -f \"$S/$I\"; "
           "if [ -f \"$P/$I\" ]; then cp \"$P/$I\" \"$S/\"; fi; umount \"$P\"; rm -f \"$P/$I\"; "
           "if [ -f \"$S/$I\" ]; then cp \"$S/$I\" \"$P/\"; fi";
}

} // namespace

TEST(IndexFailure, NothingIsForwardedThatCannotBeRecorded) {
    if (!unshareWorks()) GTEST_SKIP() << "unshare -Urm with a tmpfs mount is not permitted here";
    Dovecot box;
    SmtpSink sink;
    const std::vector<std::string> mail = {"Subject: one\n\nfirst\n", "Subject: two\n\nsecond\n"};
    for (const char* mode : {"full", "ro", "folder"}) {
        SCOPED_TRACE(mode);
        box.clearMailbox();
        sink.clear();
        for (const std::string& m : mail) box.addMessage(m);
        TempDir home, stash;
        std::string account = record({"box@example.com", local(box.popPort())});
        prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
        domain.SetAppValue("SMTPHost", sink.server());
        domain.SetAppValue("dftFwd", std::string("forward@example.org"));
        domain.SetAppValue("Account", std::vector<std::string>{account});
        ASSERT_TRUE(domain.AppSynchronize());
        std::string index = home.file("Library/Preferences/com.vexlo.Tarnwell.index");
        if (std::string(mode) == "folder") {
            ASSERT_EQ(::mkdir(index.c_str(), 0700), 0);
        }
        std::vector<std::string> argv = {kAgent};
        if (std::string(mode) != "folder")
            argv = {"/usr/bin/unshare", "-Urm", "/bin/sh", "-c", agentOnTmpfs(mode, stash.path())};

        // On a read-only file system not even the run lock beside the index can be made,
        // so the run ends before any account with an alert naming it.
        const bool readOnly = std::string(mode) == "ro";
        for (int run = 1; run <= 3; ++run) {
            RunResult r = runProgram(argv, home.path(), 120);
            EXPECT_EQ(r.exitStatus, 0) << r.out;
            EXPECT_NE(r.out.find(readOnly ? "updateSummary\t   Critical error occurred"
                                          : "updateSummary\t   1 account skipped with errors"),
                      std::string::npos)
                << r.out;
        }
        std::string log = readFile(home.file("Library/Logs/Tarnwell.log"));
        // Nothing was forwarded twice (here: nothing at all, as nothing could be recorded).
        EXPECT_EQ(sink.count(), 0u) << log;
        EXPECT_EQ(box.messages(), mail);
        EXPECT_NE(log.find(readOnly ? "Message: Mail index cannot be locked.\r\n   The lock file "
                                    : "Message: Forwarded messages cannot be recorded in the mail index.\r\n   cannot "),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("com.vexlo.Tarnwell.index"), std::string::npos) << log;
        if (readOnly) EXPECT_NE(log.find("(Read-only file system)"), std::string::npos) << log;
        else EXPECT_NE(log.find("Skip to next account"), std::string::npos) << log;
    }
}
