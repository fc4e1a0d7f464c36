// The real DLL under Wine with the phone simulator as the handler of "dial" on
// .vcf files: the handler is started, gets the path and reads the very bytes
// the library wrote.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "captured_process.h"
#include "handoff_stub.h"
#include "library_test_support.h"

namespace kestrova_test {
namespace {

class DialHandoff : public ::testing::Test {
protected:
    PhoneControl phone;
};

// First in the file: no dial the shell accepted may precede it, or
// kestrovaStartup would rightly leave the file alone. The test's folder
// holds kestrova.vcf as a link to a full device: opening and writing work,
// and the bytes fail to land only when the file is flushed and closed.
TEST(FullDisk, CardThatDoesNotReachTheDiskIsNotHandedOver) {
    const char* folder = std::getenv("KESTROVA_FULL_DISK_DIR");  // its Windows path
    ASSERT_NE(nullptr, folder) << "the test's CMake sets KESTROVA_FULL_DISK_DIR";
    TempDirectoryAs temp(std::wstring(folder, folder + std::strlen(folder)));
    StubbedHandOff shell;
    ASSERT_TRUE(shell.active());
    const long handOffsBefore = stubbedHandOffs;
    EXPECT_EQ(KESTROVA_FAILED, kestrovaStartup());
    EXPECT_EQ(KESTROVA_FAILED, kestrovaDial("Ann Example", "+1 555 0100"));
    EXPECT_EQ(handOffsBefore, stubbedHandOffs) << "the shell was handed a card that is not there";
}

TEST_F(DialHandoff, StartupStartsThePhoneWithThePlaceholderCard) {
    ASSERT_EQ(0, kestrovaStartup());
    ASSERT_TRUE(phone.connect());
    const std::string expected = cardOnDisk("0", "0");
    ASSERT_EQ(61u, expected.size());
    EXPECT_TRUE(phone.waitForLog("61 placeholder " + phone_sim::escapeBytes(expected)))
        << phone.log();
    EXPECT_EQ("idle", phone.state());  // the placeholder places no call
}

TEST_F(DialHandoff, DialledCardReachesThePhoneByteForByte) {
    const struct {
        const char* name;
        const char* number;
    } cases[] = {
        {"Ann Example", "+1 555 0100"},
        {"Bj\xF6rn; Jr.", "0049 30 1234"},  // ANSI text and separators, unchanged
    };
    for (const auto& c : cases) {
        ASSERT_EQ(0, kestrovaDial(c.name, c.number));
        ASSERT_TRUE(phone.connect());
        const std::string onDisk = cardOnDisk(c.name, c.number);
        EXPECT_TRUE(phone.waitForLog(std::to_string(onDisk.size()) + " dial " +
                                     phone_sim::escapeBytes(onDisk)))
            << phone.log();
        EXPECT_TRUE(phone.waitForState("ringing")) << phone.state();
        phone.remoteHangUp();
        EXPECT_TRUE(phone.waitForState("idle"));
    }
}

// The natural sequence of an integrator: dial, then at once another request,
// whose start-up step could hand a card over as well. The phone must still read
// the dialled card, each round with its own number.
TEST_F(DialHandoff, RequestAtOnceAfterADialKeepsTheCall) {
    ASSERT_EQ(0, retryWhileUnreachable([] { return kestrovaHookOff(); }));
    ASSERT_TRUE(phone.connect());
    ASSERT_EQ(0, kestrovaHangUp());
    ASSERT_TRUE(phone.waitForState("idle"));
    const struct {
        const char* what;
        int (*request)();
    } requests[] = {
        {"kestrovaHookOff", [] { return kestrovaHookOff(); }},
        {"kestrovaAddObserver", [] { return kestrovaAddObserver(recordNotification); }},
    };
    const int rounds = 50;
    for (const auto& r : requests) {
        int placed = 0;
        for (int i = 0; i < rounds; ++i) {
            const std::string number = "+1 555 0" + std::to_string(100 + i);
            const std::string dialled = " dial " + phone_sim::escapeBytes(cardOnDisk("Round", number));
            ASSERT_TRUE(phone.clearLog());
            ASSERT_EQ(0, kestrovaDial("Round", number.c_str()));
            ASSERT_EQ(0, r.request()) << r.what << ", round " << i;
            // Each phone process the shell starts reads the file once, hands
            // the card to the phone and ends: the round is decided when the
            // dialled card shows, or once a card has shown and no such process
            // is left. On a loaded machine under emulation a process can take
            // tens of seconds to start.
            bool seen = false;
            pumpUntil(
                [&] {
                    const std::vector<std::string> cards = phone.logLinesStartingWith("card ");
                    seen = std::any_of(cards.begin(), cards.end(), [&](const std::string& card) {
                        return card.find(dialled) != std::string::npos;
                    });
                    return seen || (!cards.empty() && phoneProcesses() <= 1);
                },
                120000, 50);
            if (!seen) std::printf("round %d, card not read:\n%s\n", i, phone.log().c_str());
            placed += seen ? 1 : 0;
            ASSERT_EQ(0, kestrovaHangUp());
            ASSERT_TRUE(phone.waitForState("idle")) << phone.log();
        }
        std::printf("%s at once after kestrovaDial: %d of %d calls placed\n", r.what, placed,
                    rounds);
        EXPECT_EQ(rounds, placed) << r.what;
    }
    EXPECT_EQ(0, kestrovaRemoveObserver(recordNotification));
}

TEST_F(DialHandoff, CardFileHeldByAnotherProgramIsWaitedForBriefly) {
    char directory[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, directory));
    const std::string path = std::string(directory) + "kestrova.vcf";
    // Held without sharing writes, as another program reading the card may;
    // let go after holdMs, or not in time.
    const struct {
        DWORD holdMs;
        int result;
    } cases[] = {{60, KESTROVA_OK}, {2000, KESTROVA_NO_FILE}};
    // Timed is the wait for the file, not the start of a phone process.
    StubbedHandOff shell;
    ASSERT_TRUE(shell.active());
    for (const auto& c : cases) {
        const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        const DWORD start = GetTickCount();
        std::thread letGo([&] {
            Sleep(c.holdMs);
            CloseHandle(held);
        });
        // A dial of the placeholder's own card: right after the dials above,
        // kestrovaStartup would leave the file alone.
        EXPECT_EQ(c.result, kestrovaDial("0", "0")) << c.holdMs;
        const DWORD took = GetTickCount() - start;
        letGo.join();
        std::printf("card file held %lu ms: kestrovaDial returned after %lu ms\n", c.holdMs, took);
        // Some 200 ms of retries at most; a bound five times that, as Wine
        // on a busy machine is slow to open files.
        EXPECT_LT(took, 1000u) << "the hand-off waited too long for the held file";
    }
}

// A temporary folder named in a script that the ANSI code page lacks, as for
// a user profile named in Cyrillic on a Western system: the phone simulator,
// an ANSI program, must still read the whole card.
TEST_F(DialHandoff, TemporaryFolderOutsideTheAnsiCodePageIsUsedWhole) {
    wchar_t base[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, base));
    const std::wstring folder = std::wstring(base) + L"\x0412\x0440\x0435\x043C\x044F";
    CreateDirectoryW(folder.c_str(), nullptr);
    char ansi[MAX_PATH];
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.c_str(), -1, ansi, MAX_PATH, nullptr,
                        &lossy);
    ASSERT_TRUE(lossy) << "code page " << GetACP() << " can write the folder's name";
    TempDirectoryAs temp(folder + L"\\");
    ASSERT_EQ(0, kestrovaDial("Ann Example", "+1 555 0100"));
    ASSERT_TRUE(phone.connect());
    const std::string onDisk = cardOnDisk("Ann Example", "+1 555 0100");
    EXPECT_TRUE(phone.waitForLog(std::to_string(onDisk.size()) + " dial " +
                                 phone_sim::escapeBytes(onDisk)))
        << phone.log();
    phone.remoteHangUp();
    EXPECT_TRUE(phone.waitForState("idle"));
}

// Two programs handing off at the same moment, this one and a copy of it:
// the "dial" handler, a stand-in that reads the file as a phone application
// may (letting no writer in meanwhile), must always find one whole card, of
// either program. The cards differ in length, so that a shorter one written
// over a longer one would leave a tail.
constexpr char handOffPartnerVariable[] = "KESTROVA_HANDOFF_PARTNER";
constexpr int partnerRounds = 400;
constexpr int mostRounds = 20000;  // should the partner hang
const struct {
    const char* name;
    const char* number;
} simultaneousCards[] = {{"Ann", "1"}, {"Someone with a much longer name", "+1 555 0100 200"}};

long cardsNotWhole = 0;

std::string readCardDenyingWriters(const char* path) {
    constexpr int openAttempts = 1000;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < openAttempts && file == INVALID_HANDLE_VALUE; ++i) {
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) Sleep(1);
    }
    if (file == INVALID_HANDLE_VALUE) return "(not opened)";
    char bytes[1024];
    DWORD got = 0;
    ReadFile(file, bytes, sizeof bytes, &got, nullptr);
    CloseHandle(file);
    return std::string(bytes, got);
}

HINSTANCE WINAPI readingDialHandler(HWND, LPCSTR, LPCSTR path, LPCSTR, LPCSTR, INT) {
    const std::string read = readCardDenyingWriters(path);
    const bool whole = std::any_of(std::begin(simultaneousCards), std::end(simultaneousCards),
                                   [&](const auto& c) { return read == cardOnDisk(c.name, c.number); });
    if (!whole && cardsNotWhole++ == 0)
        std::printf("not one whole card: %s\n", phone_sim::escapeBytes(read).c_str());
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));  // above 32: success
}

// Hands off one of the cards; false when the hand-off neither succeeded nor
// met the file held beyond its retries.
bool handOffWhileReading(int card) {
    const int result = kestrovaDial(simultaneousCards[card].name, simultaneousCards[card].number);
    EXPECT_TRUE(result == KESTROVA_OK || result == KESTROVA_NO_FILE) << result;
    return result == KESTROVA_OK;
}

TEST(SimultaneousHandOffs, Partner) {
    if (!std::getenv(handOffPartnerVariable))
        GTEST_SKIP() << "run by SimultaneousHandOffs.TakeTurnsAndLeaveOneWholeCard";
    PatchedImport handler("SHELL32.dll", "ShellExecuteA", &readingDialHandler);
    ASSERT_TRUE(handler.active());
    for (int i = 0; i < partnerRounds; ++i) handOffWhileReading(1);
    EXPECT_EQ(0, cardsNotWhole);
}

TEST(SimultaneousHandOffs, TakeTurnsAndLeaveOneWholeCard) {
    char program[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, program, MAX_PATH));
    PatchedImport handler("SHELL32.dll", "ShellExecuteA", &readingDialHandler);
    ASSERT_TRUE(handler.active());
    CapturedProcess partner;
    SetEnvironmentVariableA(handOffPartnerVariable, "1");
    ASSERT_TRUE(partner.start("\"" + std::string(program) +
                              "\" --gtest_filter=SimultaneousHandOffs.Partner"));
    SetEnvironmentVariableA(handOffPartnerVariable, nullptr);
    int rounds = 0;
    int turnedAway = 0;
    for (; rounds < mostRounds && partner.wait(0) == STILL_ACTIVE; ++rounds)
        turnedAway += handOffWhileReading(0) ? 0 : 1;
    EXPECT_EQ(0u, partner.wait(60000)) << partner.out();
    std::printf("%d hand-offs beside the partner's %d, %d turned away while the file was held\n",
                rounds, partnerRounds, turnedAway);
    EXPECT_EQ(0, cardsNotWhole);
}

}  // namespace
}  // namespace kestrova_test
