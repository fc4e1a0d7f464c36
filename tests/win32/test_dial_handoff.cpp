// The real DLL under Wine with the stand-in phone as the handler of "dial" on
// .vcf files: the handler is started, gets the path and reads the very bytes
// the library wrote.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrova_test
