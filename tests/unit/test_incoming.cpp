// What arrives on the link: connections to the observer service and
// notifications, against the platform double.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "KestrovaAPI.h"
#include "link.h"
#include "platform_double.h"
#include "recording_observer.h"

namespace {

class Incoming : public ::testing::Test {
protected:
    void SetUp() override {
        resetPlatformDouble();
        clearReceived();
        ASSERT_EQ(0, initLink());
    }
    PlatformDouble& platform = platformDouble();
    const std::string observerService = "KestrovaObserver.000002BC";
};

TEST_F(Incoming, OnlyTheObserverServiceOnTopicServerIsAdmitted) {
    const struct {
        std::string service;
        std::string topic;
        uint32_t expected;
    } cases[] = {
        {observerService, "Server", 1},
        {observerService, "Other", 0},
        {observerService, "server", 0},  // names are compared as handles
        {"Kestrova", "Server", 0},
        {"KestrovaObserver.000002BD", "Server", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, platform.connect(c.service, c.topic)) << c.service << "|" << c.topic;
        EXPECT_EQ(c.expected, linkCallback(ddeConnectConfirm, platform.nameFor(c.topic),
                                           platform.nameFor(c.service), nullptr));
    }
    EXPECT_EQ(0u, linkCallback(ddeConnect, nullptr, nullptr, nullptr));  // wildcard
}

TEST_F(Incoming, NotificationReachesTheObserverAndIsAcknowledged) {
    linkState.observer = firstObserver;
    // A request carries no data from DDEML; one that does is read alike.
    for (uint32_t type : {ddeExecute, ddePoke, ddeRequest}) {
        clearReceived();
        EXPECT_EQ(0x8000u, platform.notify("[f(a,\"b c\")]", type));
        ASSERT_EQ(1u, receivedByFirst().size());
        EXPECT_EQ((Notification{"f", "a", "b c"}), receivedByFirst()[0]);
        EXPECT_EQ(0, platform.liveBlocks);
    }
}

TEST_F(Incoming, WithoutObserverTheNotificationIsParsedReleasedAndNotAcknowledged) {
    EXPECT_EQ(0u, platform.notify("[f(a,\"b c\")]"));
    EXPECT_EQ(0, platform.liveBlocks);
}

TEST_F(Incoming, RejectedTextsReachNobody) {
    linkState.observer = firstObserver;
    std::string tooMany = "[f(";
    for (int i = 0; i < 100; ++i) tooMany += "a,";
    tooMany += "a)]";
    for (const std::string& text : {std::string("[f(a]"), std::string(), std::string("[]"), tooMany}) {
        EXPECT_EQ(0u, platform.notify(text)) << text;
        EXPECT_EQ(0, platform.liveBlocks);
    }
    EXPECT_TRUE(receivedByFirst().empty());
}

TEST_F(Incoming, RequestsAndOtherTransactionsAreAnsweredZero) {
    linkState.observer = firstObserver;
    EXPECT_EQ(0u, platform.transaction(ddeRequest));  // carries no data
    for (uint32_t type : {0x20E2u /* wildconnect */, 0x8002u /* error */, 0x80C2u /* disconnect */,
                          0x1030u /* advstart */})
        EXPECT_EQ(0u, platform.notify("[f(a)]", type)) << std::hex << type;
    EXPECT_TRUE(receivedByFirst().empty());
}

TEST_F(Incoming, TextOfUpTo1023BytesIsReadLongerTextIsRefusedWhole) {
    linkState.observer = firstObserver;
    const std::string fits = "[f(" + std::string(1018, 'a') + ")]";  // 1023 bytes
    EXPECT_EQ(0x8000u, platform.notify(fits));
    ASSERT_EQ(1u, receivedByFirst().size());
    EXPECT_EQ((Notification{"f", std::string(1018, 'a')}), receivedByFirst()[0]);

    // Cut to 1023 bytes these would parse as something never sent: "[f"
    // and all the a's, or f and a shortened argument.
    for (const std::string& text : {"[f(" + std::string(1019, 'a') + ")]",
                                    "[f(" + std::string(1030, 'a') + ",b)]"}) {
        EXPECT_EQ(0u, platform.notify(text)) << text.size() << " bytes";
        EXPECT_EQ(0, platform.liveBlocks);
    }
    EXPECT_EQ(1u, receivedByFirst().size());

    // A zero byte ends the text, wherever the data ends.
    EXPECT_EQ(0x8000u, platform.notify(fits + std::string(1, '\0') + std::string(500, 'z')));
    EXPECT_EQ(2u, receivedByFirst().size());
}

TEST_F(Incoming, DataEndsAtItsOwnZeroByte) {
    linkState.observer = firstObserver;
    EXPECT_EQ(0x8000u, platform.notify(std::string("[f(a)]\0[g(b)]", 13)));
    ASSERT_EQ(1u, receivedByFirst().size());
    EXPECT_EQ((Notification{"f", "a"}), receivedByFirst()[0]);
}

TEST_F(Incoming, ObserverThatRemovesItselfGetsNoAcknowledgementAndTheLinkClosesAfterwards) {
    linkState.observer = selfRemovingObserver;
    EXPECT_EQ(0u, platform.notify("[f(a)]"));
    EXPECT_EQ(nullptr, linkState.observer);
    EXPECT_EQ(0, platform.liveBlocks);
    // DDEML is still dispatching when the observer returns: the instance
    // ends only once the thread is back in its message loop.
    EXPECT_EQ(0, platform.uninitializations);
    EXPECT_EQ(0u, platform.notify("[g()]"));
    EXPECT_EQ(1u, receivedByFirst().size());
    ASSERT_TRUE(platform.runSoonCall());
    EXPECT_EQ(1, platform.uninitializations);
    EXPECT_EQ(0, platform.unsafeUninitializations);
    EXPECT_EQ(0u, linkState.instance);
}

// Sorts, swaps and overwrites whatever it is handed.
void KESTROVA_CALL scramblingObserver(int count, char** tokens) {
    firstObserver(count, tokens);
    receivedBySecond().push_back({tokens[count] ? "not null" : "null"});
    for (int i = 0; i < count / 2; ++i) std::swap(tokens[i], tokens[count - 1 - i]);
    for (int i = 0; i <= count; ++i) tokens[i] = tokens[0];
}

TEST_F(Incoming, ObserverThatScramblesItsTableLeavesTheTokensToBeReleasedExactly) {
    linkState.observer = scramblingObserver;
    Notification full{"f"};  // the most tokens a notification may have: 100
    std::string fullText = "[f(";
    for (int i = 1; i < 100; ++i) {
        full.push_back(std::to_string(i));
        fullText += full.back() + (i < 99 ? "," : ")]");
    }
    const std::pair<std::string, Notification> cases[] = {
        {"[f(a,b,c)]", {"f", "a", "b", "c"}}, {fullText, full}};
    for (const auto& [text, tokens] : cases) {
        clearReceived();
        EXPECT_EQ(0x8000u, platform.notify(text));
        EXPECT_EQ(tokens, receivedByFirst().at(0));
        EXPECT_EQ(Notification{"null"}, receivedBySecond().at(0));  // argv-like end
        EXPECT_EQ(0, platform.liveBlocks);
    }
}

}  // namespace
