// The link's states and the call-control commands against the platform
// double.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KestrovaAPI.h"
#include "link.h"
#include "platform_double.h"
#include "recording_observer.h"

namespace {

class Link : public ::testing::Test {
protected:
    void SetUp() override { resetPlatformDouble(); }
    PlatformDouble& platform = platformDouble();

    bool registered() const { return linkState.instance != 0 && !linkState.conversation; }
    bool connected() const { return linkState.instance != 0 && linkState.conversation; }
};

TEST_F(Link, CommandsAreSentAsTheirExactBytesOverOneConversation) {
    EXPECT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(0, kestrovaHangUp());
    EXPECT_EQ(0, kestrovaHookOff());
    const std::vector<std::string> expected = {"[hookoff()]", "[hangup()]", "[hookoff()]"};
    EXPECT_EQ(expected, platform.commands);
    EXPECT_EQ(std::vector<uint32_t>(3, 5000), platform.commandTimeouts);  // up to 5 s each
    EXPECT_EQ(11u, platform.commands[0].size());  // no terminator
    EXPECT_EQ(10u, platform.commands[1].size());
    EXPECT_EQ(1, platform.initializations);
    EXPECT_EQ(1, platform.connections);
    EXPECT_TRUE(platform.dialledCards.empty());  // the phone answered: nothing to start
    EXPECT_TRUE(connected());

    // Once it has gone, a request hands the placeholder over to start it
    // again, and fails over the conversation kept until the link is closed.
    platform.phoneServing = false;
    platform.phoneAccepts = false;
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(1u, platform.dialledCards.size());
    EXPECT_EQ(1, platform.connections);
}

TEST_F(Link, NobodyServingLeavesTheLinkRegisteredAndTheNextRequestRetries) {
    platform.phoneServing = false;
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(2, platform.connections);  // before the hand-off and after it
    EXPECT_EQ(1u, platform.dialledCards.size());
    EXPECT_TRUE(registered());
    EXPECT_EQ(std::vector<std::string>{"KestrovaObserver.000002BC"}, platform.registeredServices);
    EXPECT_TRUE(platform.commands.empty());

    platform.phoneServing = true;
    EXPECT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(1, platform.initializations);  // only the connection is retried
    EXPECT_EQ(3, platform.connections);
    EXPECT_EQ(1u, platform.dialledCards.size());  // the phone answered: nothing to start
    EXPECT_EQ(std::vector<std::string>{"[hookoff()]"}, platform.commands);
}

TEST_F(Link, RejectedCommandKeepsTheConversationAndClearsTheError) {
    platform.phoneAccepts = false;
    EXPECT_EQ(-1, kestrovaHangUp());
    EXPECT_EQ(1, platform.lastErrorFetches);
    EXPECT_TRUE(connected());

    // A phone that went away looks the same: every command fails until the
    // link is closed, and the library never reconnects by itself.
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(1, platform.connections);
    platform.phoneAccepts = true;
    EXPECT_EQ(0, kestrovaHookOff());
}

TEST_F(Link, ObserverServiceNameHasEightUpperCaseHexDigits) {
    const struct {
        uint32_t pid;
        const char* name;
    } cases[] = {{700, "KestrovaObserver.000002BC"},
                 {0, "KestrovaObserver.00000000"},
                 {0xabcdef, "KestrovaObserver.00ABCDEF"},
                 {0xFFFFFFFF, "KestrovaObserver.FFFFFFFF"}};
    for (const auto& c : cases) {
        resetPlatformDouble();
        platform.processId = c.pid;
        ASSERT_EQ(0, initLink());
        EXPECT_STREQ(c.name, linkState.observerServiceName);
        EXPECT_EQ(std::vector<std::string>{c.name}, platform.registeredServices);
        EXPECT_EQ(1, platform.liveNames[c.name]);
    }
}

// The three requests that use the link.
const struct {
    const char* name;
    int (*call)();
} linkRequests[] = {
    {"hookoff", [] { return kestrovaHookOff(); }},
    {"hangup", [] { return kestrovaHangUp(); }},
    {"subscribe", [] { return kestrovaAddObserver(firstObserver); }},
};

TEST_F(Link, RequestWhileTheLinkWaitsForThePhoneFailsAtOnceWithoutHandoff) {
    // Waiting for a connection or for a command's answer.
    for (auto wait : {&PlatformDouble::duringConnect, &PlatformDouble::duringExecute}) {
        for (const auto& nested : linkRequests) {
            resetPlatformDouble();
            int nestedResult = 0;
            size_t dialsBefore = 0;
            platform.*wait = [&] {
                if (nestedResult != 0) return;
                dialsBefore = platform.dialledCards.size();
                nestedResult = nested.call();
            };
            EXPECT_EQ(0, kestrovaHookOff()) << nested.name;  // the outer command's own result
            EXPECT_EQ(-1, nestedResult) << nested.name;
            EXPECT_EQ(dialsBefore, platform.dialledCards.size()) << nested.name;
            EXPECT_EQ(std::vector<std::string>{"[hookoff()]"}, platform.commands) << nested.name;
            EXPECT_EQ(1, platform.connections) << nested.name;
            EXPECT_EQ(nullptr, linkState.observer);

            // Once the outer request has returned, the link serves again.
            platform.*wait = nullptr;
            EXPECT_EQ(0, nested.call()) << nested.name;
        }
    }
}

TEST_F(Link, OnlyTheThreadThatMadeTheLinkMayUseIt) {
    ASSERT_EQ(0, kestrovaAddObserver(selfRemovingObserver));
    platform.notify("[f()]");  // the close now waits for the thread's message loop
    platform.threadId = 2;
    for (const auto& request : linkRequests) EXPECT_EQ(-1, request.call()) << request.name;
    EXPECT_EQ(-1, kestrovaRemoveObserver(nullptr));  // its thread still runs
    EXPECT_TRUE(platform.dialledCards.empty());  // no hand-off for any of them
    EXPECT_EQ(1u, platform.commands.size());
    EXPECT_EQ(0, platform.uninitializations);  // nor does the close run here
    EXPECT_EQ(0, kestrovaStartup());  // the hand-off alone never touches the link

    // Once that thread has ended, DDEML has ended its instance with it: a
    // removal forgets the link, touching no timer of the caller, and the
    // next request builds one on the caller's thread.
    platform.endThread(1);
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(1u, platform.commands.size());
    // The close put off there is done whatever the callback.
    EXPECT_EQ(-1, kestrovaRemoveObserver(secondObserver));
    EXPECT_EQ(0u, linkState.instance);
    EXPECT_EQ(0, kestrovaRemoveObserver(nullptr));
    EXPECT_EQ(0, platform.uninitializations);
    EXPECT_EQ(nullptr, platform.soonCall);
    EXPECT_EQ(0, platform.foreignTimerKills);
    EXPECT_EQ(0, platform.threadHolds);
    EXPECT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(2, platform.initializations);
    platform.threadId = 1;
    EXPECT_EQ(-1, kestrovaHangUp());
}

TEST_F(Link, LinkOfAThreadThatEndedInsideAWaitIsForgottenWhole) {
    ASSERT_EQ(0, kestrovaHookOff());
    // The thread ended inside an observer call during a command's wait.
    linkState.waitingForPhone = true;
    linkState.observerCalls = 1;
    platform.endThread(1);
    platform.threadId = 2;
    EXPECT_EQ(0, kestrovaRemoveObserver(nullptr));
    EXPECT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(0, kestrovaRemoveObserver(nullptr));
    EXPECT_EQ(1, platform.uninitializations);  // at once: nothing holds it up
}

}  // namespace
