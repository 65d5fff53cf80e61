// The agent end to end against the Yahoo Mail stand-in (sim/yahoo.py): sign-in through
// the form, the inbox listed by the web service, each message rebuilt from its raw header
// block and its parts and forwarded to a real SMTP server, then flagged read or moved to
// the trash, and the sign-out. The stand-in refuses any request that differs from what
// the service expects; sim/mimecheck.py judges each message the sink received against
// the one stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>

#include "agent_home.h"
#include "aiosmtpd.h"
#include "testca.h"
#include "testutil.h"
#include "yahoo_sim.h"

namespace {

const std::string kAddr = "tester@yahoo.com";
// Characters a form body must encode, so that neither form of it may show in a file.
const std::string kPassword = "Se/cr+et=1&";
const std::string kPasswordEncoded = "Se%2fcr%2bet%3d1%26";

struct Sample {
    std::string name;
    std::string text; // LF line ends, as the service stores it
};

std::string base64Lines(const std::string& data) {
    std::string flat = b64(data), out;
    for (size_t at = 0; at < flat.size(); at += 76) out += flat.substr(at, 76) + "\n";
    return out;
}

// A message with one binary attachment of each size, bytes that differ from size to size.
Sample attachments(const std::vector<size_t>& sizes) {
    std::string names;
    for (size_t size : sizes) names += " " + std::to_string(size);
    std::string text = "Date: Sat, 16 Mar 2024 10:00:00 +0000\nFrom: Files <files@example.com>\nTo: " + kAddr +
                       "\nSubject: Attachments of" + names +
                       " bytes\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"att-bound\"\n\n"
                       "--att-bound\nContent-Type: text/plain; charset=us-ascii\n\nThe files are attached.\n";
    for (size_t size : sizes) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 31 + size) & 0xff);
        std::string file = "data-" + std::to_string(size) + ".bin";
        text += "--att-bound\nContent-Type: application/octet-stream; name=\"" + file +
                "\"\nContent-Disposition: attachment; filename=\"" + file + "\"\nContent-Transfer-Encoding: base64\n\n" +
                base64Lines(data);
    }
    return {"attachments" + names, text + "--att-bound--\n"};
}

// The stored messages of tests/fixtures/yahoo in name order, then the attachment sizes
// where Base64 groups and download pieces end.
std::vector<Sample> corpus() {
    std::string folder = std::string(TARNWELL_SOURCE_DIR) + "/tests/fixtures/yahoo";
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::string name = entry->d_name; name.size() > 4 && name.substr(name.size() - 4) == ".eml") names.push_back(name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<Sample> samples;
    for (const std::string& name : names) samples.push_back({name, readFile(folder + "/" + name)});
    samples.push_back(attachments({57, 58, 4095, 4096, 4097}));
    samples.push_back(attachments({1 << 20}));
    return samples;
}

class Yahoo : public testing::Test {
protected:
    static void SetUpTestSuite() { ::setenv("SSL_CERT_FILE", testCerts().caCert.c_str(), 1); }

    void configure(bool leave) {
        Acct a{kAddr, "", leave, "Yahoo"};
        a.password = kPassword;
        home.settings({record(a)}, sink.server(), sim.agentSettings());
    }

    // The stand-in's scenario with the account's password and the given keys.
    void scenario(const std::string& keys = "") {
        sim.scenario(R"({"password": ")" + kPassword + "\"" + (keys.empty() ? "" : ", " + keys) + "}");
    }

    // Stores the samples in the inbox in order (oldest first), with web-service ids of
    // the form 1_<n>_<key>; every third has an id without "_", its own index key.
    std::vector<std::string> store(const std::vector<Sample>& samples) {
        std::vector<std::string> ids;
        for (const Sample& s : samples) {
            size_t n = sim.inbox().size() + sim.trash().size() + 1;
            ids.push_back(n % 3 ? "1_" + std::to_string(n) + "_AK" + std::to_string(n) + "-x.q" : "ZZ" + std::to_string(n));
            sim.addMessage(ids.back(), s.text);
        }
        return ids;
    }

    static std::string key(const std::string& id) { return id.substr(id.rfind('_') + 1); }

    // The account's index lines; none without a section.
    std::vector<std::string> section() const { return home.section(kAddr).value_or(std::vector<std::string>{}); }

    // Every message the sink received, judged against the samples in order.
    void expectEquivalent(const std::vector<Sample>& samples, const std::string& context) {
        std::vector<std::string> got = received(sink);
        ASSERT_EQ(got.size(), samples.size()) << context;
        for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(mimeDifference(samples[i].text, got[i]), "") << samples[i].name;
    }

    void expectNoRefusals() {
        for (const SimRequest& r : sim.requests()) EXPECT_EQ(r.refused, "") << r.method << " " << r.path;
    }

    YahooSim sim;
    SmtpSink sink;
    AgentHome home;
};

} // namespace

TEST_F(Yahoo, TheCorpusArrivesEquivalentOldestFirstAndGoesToTheTrash) {
    scenario();
    const std::vector<Sample> samples = corpus();
    const std::vector<std::string> ids = store(samples);
    configure(false);

    RunResult first = home.run();
    expectEquivalent(samples, first.out + home.log());
    expectNoRefusals();
    EXPECT_TRUE(sim.inbox().empty());
    EXPECT_EQ(sim.trash(), ids);
    EXPECT_TRUE(section().empty());
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();
    auto status = statusLines(first.out);
    std::string last = std::to_string(samples.size());
    for (const std::string& line : {std::string("Connecting to Yahoo Server"), std::string("Getting mail list"),
                                    "Forwarding message " + last + " of " + last, "Clearing message " + last + " of " + last})
        EXPECT_TRUE(has(status, kAddr + "\t" + line)) << line << "\n" << first.out;
    std::vector<SimRequest> log = sim.requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().role, "login");
    EXPECT_EQ(log.back().path, "/config/login?logout=1&.done=" + sim.startUrl() + "&.src=ym") << "the sign-out ends the account";

    sim.clearRequests();
    home.run();
    EXPECT_EQ(sink.count(), samples.size());
    for (const SimRequest& r : sim.requests()) EXPECT_EQ(r.path.find("m=GetMessage"), std::string::npos) << r.path;
}

// Leave mode over each way the service may hand out pages, answers and attachments: every
// message flagged read and remembered by its key, and not forwarded again.
class YahooForms : public Yahoo, public testing::WithParamInterface<const char*> {};

TEST_P(YahooForms, LeaveModeFlagsReadAndRemembersTheKey) {
    scenario(GetParam());
    std::vector<Sample> samples = {attachments({57, 58, 4097})};
    for (const Sample& s : corpus())
        if (s.name.rfind("10-", 0) == 0 || s.name.rfind("11-", 0) == 0) samples.push_back(s);
    const std::vector<std::string> ids = store(samples);
    configure(true);

    RunResult first = home.run();
    expectEquivalent(samples, first.out + home.log());
    expectNoRefusals();
    EXPECT_EQ(sim.inbox(), ids);
    EXPECT_EQ(sim.read(), ids);
    // Keys enter the index as the listing names them, newest first.
    std::vector<std::string> keys;
    for (auto id = ids.rbegin(); id != ids.rend(); ++id) keys.push_back(key(*id) + "\tF");
    EXPECT_EQ(section(), keys);
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();

    home.run();
    EXPECT_EQ(sink.count(), samples.size());
    EXPECT_EQ(section(), keys);
}

INSTANTIATE_TEST_SUITE_P(DownloadForms, YahooForms,
                         testing::Values("", R"("toolbar": true, "wssid_form": "double", "search_form": false, "download": "redirect")",
                                         R"("download": "relative")", R"("download": "early_close")",
                                         R"("body": [{"step": "getmessage", "mode": "chunked", "at": 100}, {"step": "download", "mode": "split", "at": 30}, {"step": "list", "mode": "chunked"}])"));

// The move fails on the first try and again in the retry's clean-up, so the account is
// skipped with the message forwarded but still in the inbox; the next run moves it
// before anything else and does not forward it again.
TEST_F(Yahoo, AFailedMoveIsFinishedByTheNextRunWithoutASecondCopy) {
    const std::vector<Sample> samples = {{"one", "Subject: one\n\n1\n"}, {"two", "Subject: two\n\n2\n"}, {"three", "Subject: three\n\n3\n"}};
    const std::vector<std::string> ids = store(samples);
    scenario(R"("fail": {"step": "move", "kind": "fault", "ids": [")" + ids[1] + R"("], "times": 2})");
    configure(false);

    RunResult first = home.run();
    EXPECT_EQ(sink.count(), 2u) << first.out << home.log();
    EXPECT_EQ(sim.inbox(), (std::vector<std::string>{ids[1], ids[2]}));
    EXPECT_EQ(section(), std::vector<std::string>{key(ids[1]) + "\tD"});
    EXPECT_EQ(alertActions(home.log()), (std::vector<std::string>{"Retry account", "Skip to next account"}));

    sim.clearRequests();
    RunResult second = home.run();
    expectEquivalent(samples, second.out);
    EXPECT_TRUE(has(statusLines(second.out), kAddr + "\tPerforming message cleanup")) << second.out;
    EXPECT_TRUE(sim.inbox().empty());
    EXPECT_EQ(sim.trash(), ids);
    EXPECT_TRUE(section().empty());
    std::vector<std::string> calls;
    for (const SimRequest& r : sim.requests())
        if (size_t m = r.path.find("?m="); r.path.rfind("/ws/mail/v1/soap", 0) == 0) calls.push_back(r.path.substr(m + 3, r.path.find('&') - m - 3));
    EXPECT_EQ(calls, (std::vector<std::string>{"ListMessages", "MoveMessages", "GetMessageRawHeader", "GetMessage", "MoveMessages"}))
        << "the clean-up moves before the new message is fetched";
}

// Each failure the service can answer with, at the step where it happens: the alert
// names it exactly, the error log holds the page, and the password shows nowhere.
TEST_F(Yahoo, EveryFailureIsReportedWithItsTextAndThePageButNoPassword) {
    const std::string loginFailed = "Login failed for account " + kAddr + ".";
    const std::string dataError = "Error found in Yahoo server data.";
    const std::string serverError = "Yahoo server returned an error.";
    struct Case {
        std::string keys;        // scenario keys besides the password
        std::string message;
        std::string explanation; // lines as the log indents them, then the action line
        size_t forwarded = 0;
        bool leave = false;
        std::string action = "Skip to next account";
        bool page = true;        // the error log holds the answer (not for a failed request)
    } cases[] = {
        {R"("address": "someone@yahoo.com")", loginFailed, "Invalid ID or password.\r\n   Please try again.\r\n   Action"},
        {R"("fail": {"step": "login", "kind": "update"})", loginFailed,
         "Account Information update page shown.\r\n   Log into your Yahoo account with a web browser and update your security information.\r\n   Action"},
        {R"("fail": {"step": "login", "kind": "h2"})", loginFailed, "Error: Your account is locked\r\n   Action"},
        {R"("fail": {"step": "login", "kind": "span_heading"})", loginFailed, "Sign-in unavailable\r\n   Try later\r\n   Action"},
        {R"("fail": {"step": "login", "kind": "div_heading"})", loginFailed, "Too many attempts\r\n   Wait an hour\r\n   Action"},
        {R"("fail": {"step": "login", "kind": "plain"})", loginFailed, "Check the account information in the Preferences dialog.\r\n   Action"},
        {R"("fail": {"step": "login", "kind": "empty_launch"})", loginFailed, "Login sequence (3) error - login URL not found.\r\n   Action"},
        {R"("fail": {"step": "start", "kind": "no_login_form"})", loginFailed, "Login sequence (2) error - login form not found.\r\n   Action"},
        {R"("toolbar": true, "fail": {"step": "interstitial", "kind": "no_wssid"})", loginFailed,
         "Login sequence (5) error - wssid value not found.\r\n   Action"},
        {R"("fail": {"step": "list", "kind": "fault"})", serverError, "Service temporarily unavailable.\r\n   Try again in a few minutes.\r\n   Action"},
        {R"("fail": {"step": "rawheader", "kind": "fault_nodetail"})", serverError, "Service temporarily unavailable.\r\n   Action"},
        {R"("fail": {"step": "getmessage", "kind": "fault"})", serverError, "Service temporarily unavailable.\r\n   Try again"},
        {R"("fail": {"step": "move", "kind": "fault"})", serverError, "Service temporarily unavailable.\r\n   Try again", 1},
        // The retry forwards the second message, which is new, and fails on it again.
        {R"("fail": {"step": "flag", "kind": "fault"})", serverError, "Service temporarily unavailable.\r\n   Try again", 2, true},
        {R"("fail": {"step": "getmessage", "kind": "http500"})", serverError, "500 Internal Server Error\r\n   Action", 0, false,
         "Skip to next account", false},
        {R"("fail": {"step": "list", "kind": "no_list"})", dataError, "Message directory list data not found.\r\n   Action"},
        {R"("fail": {"step": "rawheader", "kind": "no_rawheaders"})", "Error found in " + kAddr + " server data.",
         "Message header data not found.\r\n   Action"},
        {R"("fail": {"step": "getmessage", "kind": "no_text"})", dataError, "Message part text not found.\r\n   Action"},
        {R"("fail": {"step": "getmessage", "kind": "no_parts"})", dataError, "No message parts found.\r\n   Action"},
        {R"("download": "lost")", dataError, "Message attachment could not be retrieved.\r\n   Action"},
        // Not fatal: the messages listed before the broken entry are forwarded.
        {R"("fail": {"step": "list", "kind": "mid_no_end"})", "Error found in Yahoo message list.",
         "Some messages may not be forwarded.\r\n   Action: Continue", 1, false, "Continue", false},
    };
    store({attachments({57}), {"plain", "Subject: plain\n\nhello\n"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        scenario(c.keys);
        sink.clear();
        configure(c.leave);
        RunResult r = home.run({"-d"});
        std::string log = home.log();
        EXPECT_NE(log.find("   Message: " + c.message + "\r\n   " + c.explanation), std::string::npos) << log;
        EXPECT_EQ(alertActions(log).back(), c.action) << log;
        EXPECT_EQ(sink.count(), c.forwarded) << r.out;
        std::string errorLog = home.file("Library/Logs/Tarnwell Error.log");
        std::string errors = fileExists(errorLog) ? readFile(errorLog) : "";
        EXPECT_EQ(errors.find("Rcv:\n") != std::string::npos, c.page && c.action != "Continue") << errors;
        for (const std::string& file : {errors, log, home.trace()}) {
            EXPECT_EQ(file.find(kPassword), std::string::npos);
            EXPECT_EQ(file.find(kPasswordEncoded), std::string::npos);
        }
        std::remove(home.file("Library/Logs/Tarnwell.log").c_str());
        std::remove(home.file("Library/Logs/Tarnwell Error.log").c_str());
        std::remove(home.file("Library/Preferences/com.vexlo.Tarnwell.index").c_str());
    }
}
