// kestrova-watch against the phone simulator: two watches, one plain and one
// --json, see a call the simulator plays and a notification with bytes that
// need escaping, then each ends with exit code 0 on its console's Ctrl+C.
// Wine does not turn the closing of a console into CTRL_CLOSE_EVENT, so
// Ctrl+C, which takes the same path through the program, stands in for it.

#include <gtest/gtest.h>
#include <windows.h>

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

TEST(Watch, PrintsACallPlainAndAsJsonAndEndsOnCtrlC) {
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

    for (CapturedProcess* watch : {&plain, &json}) {
        ASSERT_TRUE(pressCtrlC(watch->id()));
        EXPECT_EQ(0u, watch->wait(15000));
    }
    EXPECT_EQ((std::vector<std::string>{
                  "call \"dialling\" \"Ann Example\" \"0100\"",
                  "call \"ringing\" \"Ann Example\" \"0100\"",
                  "call \"connected\" \"Ann Example\" \"0100\"",
                  "call \"ended\" \"Ann Example\" \"0100\" \"remote\"",
                  "note \"caf\xE9\" \"tab\\x09here\" \"a\\\"b\" \"\x81\" \"back\\\\slash\"",
              }),
              withoutStamps(plain.out(), "9999-99-99 99:99:99.999 ", 0));
    const std::string head = "{\"time\":\"\",\"name\":";
    EXPECT_EQ((std::vector<std::string>{
                  head + "\"call\",\"arguments\":[\"dialling\",\"Ann Example\",\"0100\"]}",
                  head + "\"call\",\"arguments\":[\"ringing\",\"Ann Example\",\"0100\"]}",
                  head + "\"call\",\"arguments\":[\"connected\",\"Ann Example\",\"0100\"]}",
                  head + "\"call\",\"arguments\":[\"ended\",\"Ann Example\",\"0100\",\"remote\"]}",
                  // The ANSI code page here is 1252: é is U+00E9 and 0x81 U+0081, in UTF-8.
                  head + "\"note\",\"arguments\":[\"caf\xC3\xA9\",\"tab\\there\",\"a\\\"b\","
                         "\"\xC2\x81\",\"back\\\\slash\"]}",
              }),
              withoutStamps(json.out(), "9999-99-99T99:99:99.999+99:99", 9));
    for (CapturedProcess* watch : {&plain, &json}) {
        const std::vector<std::string> status = kestrova_test::splitLines(watch->err());
        ASSERT_FALSE(status.empty());
        EXPECT_EQ("kestrova-watch: ended; observer removed", status.back());
    }
    EXPECT_TRUE(kestrova_test::pumpUntil([&] { return phone.subscribers().empty(); }, 10000));
    phone.exitPhone();
}

}  // namespace
