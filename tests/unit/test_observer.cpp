// Subscribing and unsubscribing against the platform double.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KestrovaAPI.h"
#include "link.h"
#include "platform_double.h"
#include "recording_observer.h"

namespace {

const std::string subscribe = "[subscribe(\"KestrovaObserver.000002BC\")]";

class Observer : public ::testing::Test {
protected:
    void SetUp() override {
        resetPlatformDouble();
        clearReceived();
    }
    PlatformDouble& platform = platformDouble();
};

TEST_F(Observer, AddSubscribesWithTheExactCommandAndReceives) {
    EXPECT_EQ(0, kestrovaAddObserver(firstObserver));
    EXPECT_EQ(std::vector<std::string>{subscribe}, platform.commands);
    EXPECT_EQ(40u, platform.commands[0].size());
    EXPECT_EQ(firstObserver, linkState.observer);

    EXPECT_EQ(1u, platform.connect("KestrovaObserver.000002BC", "Server"));
    EXPECT_EQ(0x8000u, platform.notify("[ring(\"Ann\")]"));
    ASSERT_EQ(1u, receivedByFirst().size());
    EXPECT_EQ((Notification{"ring", "Ann"}), receivedByFirst()[0]);
}

TEST_F(Observer, SecondAddReplacesTheFirst) {
    ASSERT_EQ(0, kestrovaAddObserver(firstObserver));
    ASSERT_EQ(0, kestrovaAddObserver(secondObserver));
    EXPECT_EQ((std::vector<std::string>{subscribe, subscribe}), platform.commands);
    EXPECT_EQ(0x8000u, platform.notify("[f()]"));
    EXPECT_TRUE(receivedByFirst().empty());
    EXPECT_EQ(1u, receivedBySecond().size());
}

TEST_F(Observer, NotificationsDuringTheSubscribeWaitFindTheOldObserver) {
    uint32_t answer = 1;
    platform.duringExecute = [&] { answer = platform.notify("[f(a)]"); };
    ASSERT_EQ(0, kestrovaAddObserver(firstObserver));
    EXPECT_EQ(0u, answer);
    EXPECT_TRUE(receivedByFirst().empty());
}

TEST_F(Observer, RemoveWithAnotherCallbackChangesNothing) {
    ASSERT_EQ(0, kestrovaAddObserver(firstObserver));
    EXPECT_EQ(-1, kestrovaRemoveObserver(secondObserver));
    EXPECT_EQ(-1, kestrovaRemoveObserver(nullptr));
    EXPECT_EQ(firstObserver, linkState.observer);
    EXPECT_NE(0u, linkState.instance);
    EXPECT_EQ(0, platform.uninitializations);
}

TEST_F(Observer, RemoveClosesTheLinkAndAddSubscribesAfresh) {
    ASSERT_EQ(0, kestrovaAddObserver(firstObserver));
    EXPECT_EQ(0, kestrovaRemoveObserver(firstObserver));
    EXPECT_EQ(1, platform.uninitializations);
    EXPECT_TRUE(platform.registeredServices.empty());

    ASSERT_EQ(0, kestrovaAddObserver(secondObserver));
    EXPECT_EQ(2, platform.initializations);
    EXPECT_EQ(2, platform.connections);
    EXPECT_EQ(std::vector<std::string>{"KestrovaObserver.000002BC"}, platform.registeredServices);
    EXPECT_EQ((std::vector<std::string>{subscribe, subscribe}), platform.commands);
}

TEST_F(Observer, RemovingNoneWhileNoneIsRegisteredClosesTheLink) {
    ASSERT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(0, kestrovaRemoveObserver(nullptr));
    EXPECT_EQ(0u, linkState.instance);
    EXPECT_EQ(1, platform.uninitializations);
}

TEST_F(Observer, RemovalDuringACommandClosesTheLinkOnceTheCommandReturns) {
    // By the observer, or by a window procedure that the wait dispatches.
    for (bool byObserver : {true, false}) {
        resetPlatformDouble();
        ASSERT_EQ(0, kestrovaAddObserver(selfRemovingObserver));
        platform.duringExecute = [&] {
            if (byObserver) EXPECT_EQ(0u, platform.notify("[f()]"));
            else EXPECT_EQ(0, kestrovaRemoveObserver(selfRemovingObserver));
            EXPECT_EQ(nullptr, linkState.observer);
            EXPECT_EQ(0, platform.uninitializations);
            EXPECT_EQ(nullptr, platform.soonCall);  // the command's return closes it
        };
        EXPECT_EQ(0, kestrovaHookOff());
        EXPECT_EQ(1, platform.uninitializations) << byObserver;
        EXPECT_EQ(0, platform.unsafeUninitializations) << byObserver;

        platform.duringExecute = nullptr;
        ASSERT_EQ(0, kestrovaAddObserver(firstObserver));
        EXPECT_EQ(2, platform.initializations);
    }
}

// After the observer removed itself, the next call on the link's thread, of
// whatever kind, first closes the link: nothing of it is left to run once
// the caller goes on, say to unload the library. Nor may the timer, should
// DDEML dispatch it while the instance ends, close the link a second time.
TEST_F(Observer, CloseLeftByASelfRemovalIsDoneByTheNextCall) {
    const struct {
        const char* call;
        int (*run)();
        int expected;
        bool linksAgain;
    } cases[] = {
        {"hook-off", [] { return kestrovaHookOff(); }, 0, true},
        {"add", [] { return kestrovaAddObserver(firstObserver); }, 0, true},
        {"dial", [] { return kestrovaDial("Ann", "1"); }, 0, false},
        {"startup", [] { return kestrovaStartup(); }, 0, false},
        {"remove NULL", [] { return kestrovaRemoveObserver(nullptr); }, 0, false},
        {"remove the removed", [] { return kestrovaRemoveObserver(selfRemovingObserver); }, -1,
         false},
    };
    for (const auto& c : cases) {
        resetPlatformDouble();
        ASSERT_EQ(0, kestrovaAddObserver(selfRemovingObserver));
        platform.notify("[f()]");
        ASSERT_NE(nullptr, platform.soonCall);
        platform.duringUninitialize = [&] { EXPECT_FALSE(platform.runSoonCall()) << c.call; };
        EXPECT_EQ(c.expected, c.run()) << c.call;
        EXPECT_EQ(1, platform.uninitializations) << c.call;
        EXPECT_EQ(nullptr, platform.soonCall) << c.call;
        // A request builds a new link rather than reuse the closed one.
        EXPECT_EQ(c.linksAgain ? 2 : 1, platform.initializations) << c.call;
        EXPECT_EQ(c.linksAgain ? 2 : 1, platform.connections) << c.call;
        EXPECT_EQ(c.linksAgain, linkState.instance != 0) << c.call;
    }
}

void KESTROVA_CALL handingOverObserver(int, char**) {
    kestrovaRemoveObserver(handingOverObserver);
    kestrovaAddObserver(secondObserver);
}

TEST_F(Observer, SubscribingAfterARemovalThatWaitsToCloseKeepsTheLink) {
    ASSERT_EQ(0, kestrovaAddObserver(handingOverObserver));
    EXPECT_EQ(0x8000u, platform.notify("[f()]"));  // answered for the new observer
    platform.runSoonCall();
    EXPECT_EQ(0x8000u, platform.notify("[g()]"));
    EXPECT_EQ(1u, receivedBySecond().size());

    // The same when the removal comes while the subscribe itself waits.
    ASSERT_EQ(0, kestrovaAddObserver(selfRemovingObserver));
    platform.duringExecute = [&] { platform.notify("[h()]"); };
    ASSERT_EQ(0, kestrovaAddObserver(secondObserver));
    platform.runSoonCall();
    EXPECT_EQ(0x8000u, platform.notify("[i()]"));
    EXPECT_EQ(2u, receivedBySecond().size());
    EXPECT_EQ(0, platform.uninitializations);

    // A subscribe that is rejected keeps nothing: the link closes.
    ASSERT_EQ(0, kestrovaAddObserver(selfRemovingObserver));
    platform.phoneAccepts = false;
    EXPECT_EQ(-1, kestrovaAddObserver(secondObserver));
    EXPECT_EQ(nullptr, linkState.observer);
    EXPECT_EQ(1, platform.uninitializations);
}

}  // namespace
