// The phone simulator's call and text handling, which need no Win32: the
// call's moves and what each sends, and how cards and commands are read.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "call.h"

namespace {

using phone_sim::Call;

// Each flow is a list of moves; "" where a move does not apply.
TEST(PhoneSimCall, MovesSendTheirNotificationsAndOnlyWhereTheyApply) {
    using Move = std::string (*)(Call&);
    const Move dial = [](Call& c) { return c.dial("Ann", "1"); };
    const Move incoming = [](Call& c) { return c.incoming("Bo", "2"); };
    const Move hookOff = [](Call& c) { return c.hookOff(); };
    const Move hangUp = [](Call& c) { return c.hangUp(); };
    const Move ring = [](Call& c) { return c.ring(); };
    const Move answer = [](Call& c) { return c.remoteAnswer(); };
    const Move remoteHangUp = [](Call& c) { return c.remoteHangUp(); };
    const struct {
        std::vector<Move> moves;
        std::vector<std::string> sent;
    } flows[] = {
        {{dial, ring, answer, remoteHangUp},
         {R"([call("dialling","Ann","1")])", R"([call("ringing","Ann","1")])",
          R"([call("connected","Ann","1")])", R"([call("ended","Ann","1","remote")])"}},
        {{incoming, dial, hookOff, hookOff, hangUp},
         {R"([call("incoming","Bo","2")])", "", R"([call("connected","Bo","2")])", "",
          R"([call("ended","Bo","2","local")])"}},
        {{hookOff, ring, answer, dial, hangUp, hangUp, remoteHangUp},
         {R"([line("offhook")])", "", "", R"([call("dialling","Ann","1")])",
          R"([call("ended","Ann","1","local")])", "", ""}},
    };
    for (const auto& flow : flows) {
        Call call;
        std::vector<std::string> sent;
        for (const Move move : flow.moves) sent.push_back(move(call));
        EXPECT_EQ(flow.sent, sent);
        EXPECT_EQ(phone_sim::CallState::Idle, call.state());
        EXPECT_TRUE(call.name().empty());
    }
}

TEST(PhoneSimCall, CardsAreReadAndJudged) {
    const struct {
        const char* text;
        bool lineFree;
        const char* verdict;
    } cases[] = {
        {"BEGIN:VCARD\r\nN:;Ann\r\nTEL;WORK;VOICE:123\r\nEND:VCARD\r\n", true, "dial"},
        {"N:;Ann\nTEL;WORK;VOICE:123\n", false, "busy"},
        {"N:;0\nTEL;WORK;VOICE:0\n", false, "placeholder"},
        {"N:;Ann\nTEL;WORK;VOICE:\n", true, "invalid"},
        {"N:;Ann\nTELEX:123\n", true, "invalid"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.verdict, phone_sim::cardVerdict(phone_sim::parseCard(c.text), c.lineFree))
            << c.text;
    EXPECT_EQ("Ann", phone_sim::parseCard("N:Family;Ann\r\n").name);
}

TEST(PhoneSimCall, CommandsAreMatchedExactlyAndLoggedEscaped) {
    EXPECT_EQ(phone_sim::Command::HookOff, phone_sim::parseCommand({"[hookoff()]\0", 12}).kind);
    EXPECT_EQ(phone_sim::Command::Unknown, phone_sim::parseCommand("[hookoff() ]").kind);
    const auto subscribe = phone_sim::parseCommand(R"([subscribe("KestrovaObserver.000002BC")])");
    EXPECT_EQ(phone_sim::Command::Subscribe, subscribe.kind);
    EXPECT_EQ("KestrovaObserver.000002BC", subscribe.service);
    EXPECT_EQ(phone_sim::Command::Unknown,
              phone_sim::parseCommand("[subscribe(\"" + std::string(256, 's') + "\")]").kind);
    EXPECT_EQ("a\\\\\\r\\n\\x00\\xFF...(+2 bytes)",
              phone_sim::escapeBytes({"a\\\r\n\0\xFF" "bc", 8}, 6));
}

}  // namespace
