// Observing the phone end to end under Wine: a call placed, answered and
// ended as the observer sees it, replacement and removal of the observer,
// an observer declared stdcall, and what the phone application sees of it.

#include <gtest/gtest.h>

#include <algorithm>

#include "library_test_support.h"

namespace kestrova_test {
namespace {

class Observer : public ::testing::Test {
protected:
    void SetUp() override {
        received().clear();
        receivedByOther().clear();
        ASSERT_EQ(0, retryWhileUnreachable([] { return kestrovaAddObserver(recordNotification); }));
        ASSERT_TRUE(phone.connect());
        ASSERT_TRUE(phone.clearLog());
    }
    void TearDown() override {
        if (kestrovaRemoveObserver(recordNotification) != 0)
            kestrovaRemoveObserver(recordOtherNotification);
    }

    PhoneControl phone;
    const std::string name = observerServiceName();
};

TEST_F(Observer, FollowsACallPlacedAnsweredAndEnded) {
    ASSERT_TRUE(phone.setProgressDelay(50));
    ASSERT_EQ(0, kestrovaDial("Ann Example", "+1 555 0100"));
    ASSERT_TRUE(waitForNotifications(2)) << phone.log();
    EXPECT_EQ((Notification{"call", "dialling", "Ann Example", "+1 555 0100"}), received()[0]);
    EXPECT_EQ((Notification{"call", "ringing", "Ann Example", "+1 555 0100"}), received()[1]);

    ASSERT_EQ(0, kestrovaHookOff());
    ASSERT_TRUE(waitForNotifications(3)) << phone.log();
    EXPECT_EQ((Notification{"call", "connected", "Ann Example", "+1 555 0100"}), received()[2]);

    ASSERT_EQ(0, kestrovaHangUp());
    ASSERT_TRUE(waitForNotifications(4)) << phone.log();
    EXPECT_EQ((Notification{"call", "ended", "Ann Example", "+1 555 0100", "local"}), received()[3]);

    // Each one was acknowledged as processed (the phone logs an answer once
    // the observer has had the notification).
    EXPECT_TRUE(pumpUntil(
        [&] { return phone.logLinesStartingWith("send execute " + name + " 0x8000 ").size() == 4; },
        10000))
        << phone.log();
}

TEST_F(Observer, MalformedNotificationReachesNoObserverAndIsAnsweredZero) {
    for (const char* text : {"[f(a]", "[]", "[f(\"a]", "[f(\"a\"b)]"}) {
        ASSERT_TRUE(phone.clearLog());
        ASSERT_TRUE(phone.notify(text));
        EXPECT_TRUE(phone.waitForLog("send execute " + name + " fail:NOTPROCESSED:0x0000 ")) << text << phone.log();
    }
    ASSERT_TRUE(phone.notify("[ok()]"));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ(1u, received().size());
    EXPECT_EQ((Notification{"ok"}), received()[0]);
}

TEST_F(Observer, SecondAddReplacesTheFirst) {
    ASSERT_EQ(0, kestrovaAddObserver(recordOtherNotification));
    EXPECT_EQ(1u,
              phone.logLinesStartingWith("command 40 accepted [subscribe(\"" + name + "\")]").size())
        << phone.log();
    ASSERT_TRUE(phone.notify("[f(x)]"));
    ASSERT_TRUE(pumpUntil([] { return !receivedByOther().empty(); }, 10000));
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(0, kestrovaRemoveObserver(recordOtherNotification));
}

TEST_F(Observer, RemoveWithAnotherCallbackChangesNothing) {
    EXPECT_EQ(-1, kestrovaRemoveObserver(recordOtherNotification));
    EXPECT_EQ(-1, kestrovaRemoveObserver(nullptr));
    ASSERT_TRUE(phone.notify("[still(here)]"));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ((Notification{"still", "here"}), received()[0]);
}

TEST_F(Observer, RemoveWithdrawsTheServiceAndAddSubscribesAfresh) {
    ASSERT_EQ(0, kestrovaRemoveObserver(recordNotification));
    RawClient other;
    EXPECT_FALSE(other.connect(name, "Server")) << "the observer service is still there";

    // The phone can no longer deliver: it has no subscriber, or its send fails.
    ASSERT_TRUE(phone.notify("[lost()]"));
    ASSERT_TRUE(phone.waitForLog("send execute "));
    const std::string sent = phone.logLinesStartingWith("send execute ")[0];
    EXPECT_TRUE(sent.rfind("send execute - none ", 0) == 0 ||
                sent.rfind("send execute " + name + " fail:", 0) == 0) << phone.log();

    ASSERT_EQ(0, kestrovaAddObserver(recordNotification));
    EXPECT_TRUE(phone.waitForLog("subscribe connected " + name)) << phone.log();
    ASSERT_TRUE(phone.notify("[back()]"));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ((Notification{"back"}), received().back());
}

// 32-bit hosts often hand over a stdcall function (VBA's AddressOf, the
// default callbacks of several languages), which removes its own arguments.
void __stdcall recordNotificationStdcall(int count, char** tokens) {
    received().emplace_back(tokens, tokens + count);
}

TEST_F(Observer, StdcallObserverIsServedAndLaterCallsStayWhole) {
    const auto observer = reinterpret_cast<ObserverCallback>(recordNotificationStdcall);
    ASSERT_EQ(0, kestrovaAddObserver(observer));
    constexpr unsigned long copies = 300;
    ASSERT_TRUE(phone.notify("[f(a,\"b c\")]", copies));
    ASSERT_TRUE(waitForNotifications(copies, 30000)) << received().size() << phone.log();
    EXPECT_EQ(copies, std::count(received().begin(), received().end(), Notification{"f", "a", "b c"}));
    EXPECT_TRUE(phone.waitForLog("flood execute " + name + " 300 sent=300 ack=300 fail=0 "))
        << phone.log();

    ASSERT_EQ(0, kestrovaHookOff());
    ASSERT_TRUE(waitForNotifications(copies + 1)) << phone.log();
    EXPECT_EQ((Notification{"line", "offhook"}), received().back()) << phone.log();
    EXPECT_EQ(-1, kestrovaRemoveObserver(recordNotification));
    EXPECT_EQ(0, kestrovaRemoveObserver(observer));
}

TEST_F(Observer, NotificationsWaitForTheMessageLoop) {
    ASSERT_TRUE(phone.notify("[later()]"));
    Sleep(1000);  // not dispatching: nothing can arrive
    EXPECT_TRUE(received().empty());
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ((Notification{"later"}), received()[0]);
}

}  // namespace
}  // namespace kestrova_test
