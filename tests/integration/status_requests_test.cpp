// Status requests are answered, never mistaken for time passing: a large message is
// forwarded while the menu asks for the status every few milliseconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "agent_home.h"
#include "suites.h"

namespace {

class StatusRequests : public MailServersSuite {};

} // namespace

TEST_F(StatusRequests, LargeMessageIsForwardedWhileRequestsArrive) {
    box_->clearMailbox();
    sink_->clear();
    const std::string message = sampleMessage(30u << 20, "thirty megabytes");
    box_->addMessage(message);
    AgentHome home;
    home.settings({record({"big@example.com", local(box_->popPort())})}, sink_->server());

    auto agent = home.start();
    // Until its first line the agent may not yet handle the signal.
    ASSERT_TRUE(agent->waitForLine("updateStatus\tNone\tStarting up", 30));
    std::atomic<bool> done{false};
    std::thread requests([&] {
        while (!done) {
            agent->signal(SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    bool finished = agent->waitForLine("updateStatus\tNone\tDone", 300);
    done = true;
    requests.join();
    RunResult r = agent->finish(60);

    EXPECT_TRUE(finished) << home.log();
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();
    ASSERT_EQ(sink_->count(), 1u) << home.log();
    EXPECT_TRUE(received(*sink_)[0] == crlf(message));
}
