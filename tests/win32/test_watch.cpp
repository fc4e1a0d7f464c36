// kestrova-watch against the phone simulator: two watches, one plain and one
// --json, see a call the simulator plays and a notification with bytes that
// need escaping; they follow the simulator when it quits and when it
// crashes, without starting it themselves, subscribe again once it is back
// and see the calls it plays then; then each ends with exit code 0 on its
// console's Ctrl+C.
// Wine does not turn the closing of a console into CTRL_CLOSE_EVENT, so
// Ctrl+C, which takes the same path through the program, stands in for it.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "captured_process.h"
#include "phone_control.h"

namespace {

using kestrova_test::CapturedProcess;
using kestrova_test::PhoneControl;

std::string watchExePath() {
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1) + "kestrova-watch.exe";
}

// Ctrl+C in the console of the process, as its user would press it.
bool pressCtrlC(DWORD processId) {
    FreeConsole();
    if (!AttachConsole(processId)) return false;
    SetConsoleCtrlHandler(nullptr, TRUE);  // not for this process
    const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
    FreeConsole();
    SetConsoleCtrlHandler(nullptr, FALSE);
    return sent;
}

// Runs the simulator's command line; true when it exits 0.
bool simulatorCommand(const std::string& arguments) {
    CapturedProcess program;
    return program.start("\"" + kestrova_test::phoneExePath() + "\" " + arguments) &&
           program.wait(30000) == 0;
}

// Splits the time stamp off each line: it must have the shape of stamp
// ('9' stands for a digit), and the rest of the lines is returned.
std::vector<std::string> withoutStamps(const std::string& text, const std::string& stamp,
                                       std::size_t stampAt) {
    std::vector<std::string> lines;
    for (std::string line : kestrova_test::splitLines(text)) {
        bool shaped = line.size() >= stampAt + stamp.size();
        for (std::size_t i = 0; shaped && i < stamp.size(); ++i) {
            const char c = line[stampAt + i];
            shaped = stamp[i] == '9' ? c >= '0' && c <= '9' : c == stamp[i];
        }
        EXPECT_TRUE(shaped) << line;
        if (shaped) line.erase(stampAt, stamp.size());
        lines.push_back(line);
    }
    return lines;
}

TEST(Watch, PrintsCallsPlainAndAsJsonFollowsRestartsAndEndsOnCtrlC) {
    CapturedProcess plain;
    CapturedProcess json;
    // Each in a console of its own, to be given its own Ctrl+C.
    ASSERT_TRUE(plain.start("\"" + watchExePath() + "\"", CREATE_NEW_CONSOLE));
    ASSERT_TRUE(json.start("\"" + watchExePath() + "\" --json", CREATE_NEW_CONSOLE));

    // The watches start the simulator through the shell's "dial", as any
    // program using the library does.
    PhoneControl phone;
    ASSERT_TRUE(phone.connect(30000));
    // How a watch fares, for a failure message.
    const auto fate = [](CapturedProcess& watch) {
        const DWORD code = watch.wait(0);
        return code == STILL_ACTIVE ? std::string("running")
                                    : "exited " + std::to_string(code) + ": " + watch.err();
    };
    ASSERT_TRUE(kestrova_test::pumpUntil([&] { return phone.subscribers().size() == 2; }, 30000))
        << phone.log() << "plain watch " << fate(plain) << "\njson watch " << fate(json);

    ASSERT_TRUE(phone.dial("0100", "Ann Example"));
    ASSERT_TRUE(phone.waitForState("ringing"));
    ASSERT_TRUE(phone.remoteAnswer());
    ASSERT_TRUE(phone.remoteHangUp());
    const std::string odd = "[note(\"caf\xE9\",\"tab\there\",a\"b,\x81,back\\slash)]";
    ASSERT_TRUE(phone.notify(odd));
    // Acknowledged by both: the observer has returned, so the line is out.
    const std::string acked = "0x8000 " + std::to_string(odd.size()) + " ";
    ASSERT_TRUE(kestrova_test::pumpUntil(
        [&] {
            std::size_t count = 0;
            for (const std::string& line : phone.logLinesStartingWith("send execute "))
                count += line.find(acked) != std::string::npos;
            return count == 2;
        },
        10000))
        << phone.log();

    // The simulator goes: once saying goodbye, once as a crash would, and
    // comes back. A call after each shows that both watches follow it.
    const auto restart = [&](const char* how, bool waitBetween) {
        SCOPED_TRACE(how);
        ASSERT_TRUE(simulatorCommand(how));
        phone.disconnect();
        // While it is away the watches look for it every second but never
        // start it: a start through the library would run the program.
        if (waitBetween) {
            kestrova_test::pumpMessagesFor(3000);
            EXPECT_FALSE(kestrova_test::phoneProgramRuns());
        }
        const HANDLE process = kestrova_test::startPhone();
        ASSERT_NE(nullptr, process);
        CloseHandle(process);
        ASSERT_TRUE(phone.connect());
        ASSERT_TRUE(
            kestrova_test::pumpUntil([&] { return phone.subscribers().size() == 2; }, 30000))
            << phone.log() << "plain watch " << fate(plain) << "\njson watch " << fate(json);
        ASSERT_TRUE(phone.incomingCall("+1-555-0199", "Bob Restart"));
        ASSERT_TRUE(phone.remoteHangUp());
        ASSERT_TRUE(kestrova_test::pumpUntil(
            [&] {
                std::size_t count = 0;
                for (const std::string& line : phone.logLinesStartingWith("send execute "))
                    count += line.find(" 0x8000 ") != std::string::npos;
                return count == 4;  // two notifications, acknowledged by both
            },
            10000))
            << phone.log();
    };
    restart("quit", true);
    restart("crash", false);  // back before the watches look again

    for (CapturedProcess* watch : {&plain, &json}) {
        ASSERT_TRUE(pressCtrlC(watch->id()));
        EXPECT_EQ(0u, watch->wait(15000));
    }
    const std::string bob = "call \"incoming\" \"Bob Restart\" \"+1-555-0199\"";
    const std::string bobEnded = "call \"ended\" \"Bob Restart\" \"+1-555-0199\" \"remote\"";
    EXPECT_EQ((std::vector<std::string>{
                  "call \"dialling\" \"Ann Example\" \"0100\"",
                  "call \"ringing\" \"Ann Example\" \"0100\"",
                  "call \"connected\" \"Ann Example\" \"0100\"",
                  "call \"ended\" \"Ann Example\" \"0100\" \"remote\"",
                  "note \"caf\xE9\" \"tab\\x09here\" \"a\\\"b\" \"\x81\" \"back\\\\slash\"",
                  bob, bobEnded, bob, bobEnded,
              }),
              withoutStamps(plain.out(), "9999-99-99 99:99:99.999 ", 0));
    const std::string head = "{\"time\":\"\",\"name\":";
    const std::string jsonBob =
        head + "\"call\",\"arguments\":[\"incoming\",\"Bob Restart\",\"+1-555-0199\"]}";
    const std::string jsonBobEnded =
        head + "\"call\",\"arguments\":[\"ended\",\"Bob Restart\",\"+1-555-0199\",\"remote\"]}";
    const std::string gone =
        "{\"time\":\"\",\"event\":\"phone-gone\",\"message\":\"phone application gone; waiting for it\"}";
    const std::string back = "{\"time\":\"\",\"event\":\"phone-back\","
                             "\"message\":\"phone application back; subscribed again\"}";
    EXPECT_EQ((std::vector<std::string>{
                  head + "\"call\",\"arguments\":[\"dialling\",\"Ann Example\",\"0100\"]}",
                  head + "\"call\",\"arguments\":[\"ringing\",\"Ann Example\",\"0100\"]}",
                  head + "\"call\",\"arguments\":[\"connected\",\"Ann Example\",\"0100\"]}",
                  head + "\"call\",\"arguments\":[\"ended\",\"Ann Example\",\"0100\",\"remote\"]}",
                  // The ANSI code page here is 1252: é is U+00E9 and 0x81 U+0081, in UTF-8.
                  head + "\"note\",\"arguments\":[\"caf\xC3\xA9\",\"tab\\there\",\"a\\\"b\","
                         "\"\xC2\x81\",\"back\\\\slash\"]}",
                  gone, back, jsonBob, jsonBobEnded, gone, back, jsonBob, jsonBobEnded,
              }),
              withoutStamps(json.out(), "9999-99-99T99:99:99.999+99:99", 9));
    // The status lines after subscribing: plain, the phone's going and
    // coming back are among them; with --json they were events.
    const auto statusAfterSubscribing = [](CapturedProcess& watch) {
        std::vector<std::string> status = kestrova_test::splitLines(watch.err());
        const auto subscribed = std::find_if(status.begin(), status.end(), [](const std::string& line) {
            return line.rfind("kestrova-watch: subscribed;", 0) == 0;
        });
        status.erase(status.begin(), subscribed == status.end() ? subscribed : subscribed + 1);
        return status;
    };
    const std::string plainGone = "kestrova-watch: phone application gone; waiting for it";
    const std::string plainBack = "kestrova-watch: phone application back; subscribed again";
    const std::string ended = "kestrova-watch: ended; observer removed";
    EXPECT_EQ((std::vector<std::string>{plainGone, plainBack, plainGone, plainBack, ended}),
              statusAfterSubscribing(plain));
    EXPECT_EQ(std::vector<std::string>{ended}, statusAfterSubscribing(json));
    EXPECT_TRUE(kestrova_test::pumpUntil([&] { return phone.subscribers().empty(); }, 10000));
    phone.exitPhone();
}

// The first subscription refused, then the phone application restarts: the
// watch's link still leads to the one that went, so it must close it before
// trying again, or it never reaches the new one.
TEST(Watch, SubscribesToAPhoneThatRestartsWhileItsFirstSubscriptionWaits) {
    const HANDLE first = kestrova_test::startPhone();
    ASSERT_NE(nullptr, first);
    CloseHandle(first);
    PhoneControl phone;
    ASSERT_TRUE(phone.connect());
    ASSERT_TRUE(phone.rejectCommands(true));
    CapturedProcess watch;
    ASSERT_TRUE(watch.start("\"" + watchExePath() + "\" --wait 40"));
    ASSERT_TRUE(phone.waitForLog("rejected [subscribe(", 20000)) << phone.log();
    ASSERT_TRUE(simulatorCommand("quit"));
    phone.disconnect();
    const HANDLE second = kestrova_test::startPhone();
    ASSERT_NE(nullptr, second);
    CloseHandle(second);
    ASSERT_TRUE(phone.connect());
    EXPECT_TRUE(kestrova_test::pumpUntil([&] { return phone.subscribers().size() == 1; }, 30000))
        << phone.log() << "watch: " << watch.err();
    EXPECT_EQ(STILL_ACTIVE, watch.wait(0)) << watch.err();
    phone.exitPhone();
}

}  // namespace
