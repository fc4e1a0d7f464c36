// The real DLL under Wine with the stand-in phone as the handler of "dial" on
// .vcf files: the handler is started, gets the path and reads the very bytes
// the library wrote.

#include <gtest/gtest.h>

#include <thread>

#include "library_test_support.h"

namespace kestrova_test {
namespace {

class DialHandoff : public ::testing::Test {
protected:
    PhoneControl phone;
};

TEST_F(DialHandoff, StartupStartsThePhoneWithThePlaceholderCard) {
    ASSERT_EQ(0, kestrovaStartup());
    ASSERT_TRUE(phone.connect());
    const std::string expected = cardOnDisk("0", "0");
    ASSERT_EQ(61u, expected.size());
    EXPECT_TRUE(phone.waitForLog("61 placeholder " + standin::escapeBytes(expected)))
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
                                     standin::escapeBytes(onDisk)))
            << phone.log();
        EXPECT_TRUE(phone.waitForState("ringing")) << phone.state();
        phone.remoteHangUp();
        EXPECT_TRUE(phone.waitForState("idle"));
    }
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
    for (const auto& c : cases) {
        const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        const DWORD start = GetTickCount();
        std::thread letGo([&] {
            Sleep(c.holdMs);
            CloseHandle(held);
        });
        EXPECT_EQ(c.result, kestrovaStartup()) << c.holdMs;
        const DWORD took = GetTickCount() - start;
        letGo.join();
        std::printf("card file held %lu ms: kestrovaStartup returned after %lu ms\n", c.holdMs, took);
        // Some 200 ms of retries at most; a bound five times that, as Wine
        // on a busy machine is slow to open files.
        EXPECT_LT(took, 1000u) << "the hand-off waited too long for the held file";
    }
}

}  // namespace
}  // namespace kestrova_test
