// Call control over the real DDEML under Wine, against the phone simulator:
// connecting, the exact command bytes, rejection, time-out, a phone that went
// away, and what the library's observer service admits and answers.

#include <gtest/gtest.h>

#include <algorithm>

#include "library_test_support.h"

namespace kestrova_test {
namespace {

// The "dial" command of the .vcf handler, which wine-run registered.
std::string dialCommandKey() {
    char progId[256] = {};
    LONG size = sizeof progId;
    RegQueryValueA(HKEY_CLASSES_ROOT, ".vcf", progId, &size);
    return std::string(progId) + "\\shell\\dial\\command";
}

std::string readDialCommand() {
    char command[1024] = {};
    LONG size = sizeof command;
    RegQueryValueA(HKEY_CLASSES_ROOT, dialCommandKey().c_str(), command, &size);
    return command;
}

void writeDialCommand(const std::string& command) {
    RegSetValueA(HKEY_CLASSES_ROOT, dialCommandKey().c_str(), REG_SZ, command.c_str(),
                 static_cast<DWORD>(command.size()));
}

std::size_t countLines(PhoneControl& phone, const std::string& prefix) {
    return phone.logLinesStartingWith(prefix).size();
}

class CallControl : public ::testing::Test {
protected:
    void TearDown() override {
        phone.rejectCommands(false);
        phone.hang(0);
        kestrovaRemoveObserver(nullptr);  // closes the link: no observer here
    }

    // Starts the phone through the library and waits until it serves.
    void connectToPhone() {
        ASSERT_EQ(0, retryWhileUnreachable([] { return kestrovaHookOff(); }));
        ASSERT_TRUE(phone.connect());
        ASSERT_TRUE(phone.clearLog());
    }

    PhoneControl phone;
};

TEST_F(CallControl, NobodyServingKeepsTheObserverServiceAndALaterCallConnects) {
    // A handler that starts no phone: the hand-off succeeds, nobody serves.
    const std::string phoneCommand = readDialCommand();
    writeDialCommand("\"C:\\windows\\system32\\hostname.exe\" \"%1\"");
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(-1, kestrovaHangUp());

    // The link stays registered: the observer service admits the right
    // names only.
    RawClient other;
    EXPECT_TRUE(other.connect(observerServiceName(), "Server"));
    EXPECT_FALSE(other.connect(observerServiceName(), "Other"));
    EXPECT_FALSE(other.connect(observerServiceName(), "server "));
    EXPECT_FALSE(other.connect("KestrovaObserver.00000000", "Server"));

    writeDialCommand(phoneCommand);
    EXPECT_EQ(0, retryWhileUnreachable([] { return kestrovaHookOff(); }));
    ASSERT_TRUE(phone.connect());
    EXPECT_TRUE(phone.waitForLog("command 11 accepted [hookoff()]")) << phone.log();
}

TEST_F(CallControl, CommandsArriveAsTheirExactBytesOverOneConversation) {
    connectToPhone();
    EXPECT_EQ(0, kestrovaHangUp());
    EXPECT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(0, kestrovaHangUp());
    const std::vector<std::string> commands = phone.logLinesStartingWith("command ");
    const std::vector<std::string> expected = {"command 10 accepted [hangup()]",
                                               "command 11 accepted [hookoff()]",
                                               "command 10 accepted [hangup()]"};
    EXPECT_EQ(expected, commands);
    EXPECT_EQ(0u, countLines(phone, "connect Server")) << "the conversation was reopened";
}

TEST_F(CallControl, RejectedCommandFailsAndTheConversationIsKept) {
    connectToPhone();
    ASSERT_TRUE(phone.rejectCommands(true));
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(-1, kestrovaHangUp());
    ASSERT_TRUE(phone.rejectCommands(false));
    EXPECT_EQ(0, kestrovaHangUp());
    EXPECT_EQ(0u, countLines(phone, "connect Server"));
}

TEST_F(CallControl, PhoneThatHangsTimesOutAfterFiveSeconds) {
    connectToPhone();
    ASSERT_TRUE(phone.hang(7000));
    const DWORD start = GetTickCount();
    EXPECT_EQ(-1, kestrovaHangUp());
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 4500u);
    ASSERT_TRUE(phone.hang(0));
    pumpMessagesFor(3000);  // let the held command complete on the phone's side
    EXPECT_EQ(0, kestrovaHangUp());
    std::printf("a command to a hung phone returned after %lu ms\n", elapsed);
}

TEST_F(CallControl, PhoneThatWentAwayFailsEveryCommandUntilTheLinkIsClosed) {
    connectToPhone();
    ASSERT_TRUE(phone.exitPhone());
    pumpMessagesFor(500);

    // Each hand-off starts a new phone, but the old conversation is dead and
    // the library does not reconnect by itself.
    EXPECT_EQ(-1, kestrovaHookOff());
    ASSERT_TRUE(phone.connect());
    EXPECT_EQ(-1, kestrovaHangUp());
    EXPECT_EQ(-1, kestrovaHookOff());
    EXPECT_EQ(0u, countLines(phone, "command "));

    EXPECT_EQ(0, kestrovaRemoveObserver(nullptr));
    EXPECT_EQ(0, kestrovaHangUp());
    EXPECT_TRUE(phone.waitForLog("command 10 accepted [hangup()]")) << phone.log();
}

TEST_F(CallControl, ObserverServiceAnswersARequestWithNothing) {
    connectToPhone();
    RawClient other;
    ASSERT_TRUE(other.connect(observerServiceName(), "Server"));
    UINT error = 0;
    EXPECT_FALSE(other.request("anything", &error));
    EXPECT_EQ(static_cast<UINT>(DMLERR_NOTPROCESSED), error) << "not answered, or timed out";
}

TEST_F(CallControl, NotificationsAreParsedAndAcknowledgedAsExecuteAndPoke) {
    received().clear();
    ASSERT_EQ(0, retryWhileUnreachable([] { return kestrovaAddObserver(recordNotification); }));
    ASSERT_TRUE(phone.connect());
    const std::string name = observerServiceName();
    for (const bool poke : {false, true}) {
        received().clear();
        ASSERT_TRUE(phone.clearLog());
        ASSERT_TRUE(phone.notify("[f(a,\"b c\")]", 1, poke));
        ASSERT_TRUE(waitForNotifications(1)) << phone.log();
        EXPECT_EQ((Notification{"f", "a", "b c"}), received()[0]);
        const char* type = poke ? "send poke " : "send execute ";
        EXPECT_TRUE(phone.waitForLog(type + name + " 0x8000 ")) << phone.log();
    }
    EXPECT_EQ(0, kestrovaRemoveObserver(recordNotification));
}

TEST_F(CallControl, NotificationLongerThan1023BytesIsRefusedWhole) {
    received().clear();
    ASSERT_EQ(0, retryWhileUnreachable([] { return kestrovaAddObserver(recordNotification); }));
    ASSERT_TRUE(phone.connect());
    const std::string name = observerServiceName();

    // Cut after 1023 bytes this would read as "[f" with all the b's.
    ASSERT_TRUE(phone.clearLog());
    ASSERT_TRUE(phone.notify("[f(" + std::string(1019, 'b') + ")]"));
    EXPECT_TRUE(phone.waitForLog("send execute " + name + " fail:NOTPROCESSED:0x0000 "))
        << phone.log();

    // 1023 bytes are read whole.
    ASSERT_TRUE(phone.notify("[f(" + std::string(1018, 'b') + ")]"));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ((Notification{"f", std::string(1018, 'b')}), received()[0]);
    EXPECT_EQ(1u, received().size());
    EXPECT_EQ(0, kestrovaRemoveObserver(recordNotification));
}

}  // namespace
}  // namespace kestrova_test
