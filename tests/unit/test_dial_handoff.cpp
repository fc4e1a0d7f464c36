// Dialling against the platform double: the card's bytes, the path, the
// shell's result and what is left behind on every failure.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "KestrovaAPI.h"
#include "platform_double.h"

namespace {

class DialHandoff : public ::testing::Test {
protected:
    void SetUp() override { resetPlatformDouble(); }
    PlatformDouble& platform = platformDouble();
};

std::string card(const std::string& name, const std::string& number) {
    return "BEGIN:VCARD\nVERSION:2.1\nN:;" + name + "\nTEL;WORK;VOICE:" + number +
           "\nEND:VCARD\n";
}

TEST_F(DialHandoff, StartupHandsOverThePlaceholderCard) {
    EXPECT_EQ(0, kestrovaStartup());
    ASSERT_EQ(1u, platform.dialledCards.size());
    EXPECT_EQ("BEGIN:VCARD\nVERSION:2.1\nN:;0\nTEL;WORK;VOICE:0\nEND:VCARD\n",
              platform.dialledCards[0]);
    EXPECT_EQ(56u, platform.dialledCards[0].size());
}

TEST_F(DialHandoff, CardHoldsNameAndNumberVerbatim) {
    struct Case {
        const char* name;
        const char* number;
        std::string expected;
    } cases[] = {
        {"Ann Smith", "+44 20 7946 0000", card("Ann Smith", "+44 20 7946 0000")},
        {"", "", "BEGIN:VCARD\nVERSION:2.1\nN:;\nTEL;WORK;VOICE:\nEND:VCARD\n"},
        {nullptr, "123", card("", "123")},
        {"Bo", nullptr, card("Bo", "")},
        {"a;b,c", "1\n2", card("a;b,c", "1\n2")},  // no escaping: a line feed adds a line
    };
    for (const Case& c : cases) {
        resetPlatformDouble();
        EXPECT_EQ(0, kestrovaDial(c.name, c.number));
        ASSERT_EQ(1u, platform.dialledCards.size());
        EXPECT_EQ(c.expected, platform.dialledCards[0]);
    }
}

TEST_F(DialHandoff, PathKeepsTheDoubledSeparator) {
    for (const std::string dir : {std::string("C:\\Temp\\"), std::string("C:\\") + std::string(300, 'd') + "\\"}) {
        resetPlatformDouble();
        platform.tempDirectory = dir;
        EXPECT_EQ(0, kestrovaStartup());
        EXPECT_EQ(dir + "\\kestrova.vcf", platform.openedPath);
        ASSERT_EQ(1u, platform.dialledPaths.size());
        EXPECT_EQ(platform.openedPath, platform.dialledPaths[0]);
    }
}

TEST_F(DialHandoff, CardOfExactlyFullBufferFitsOneMoreIsRefused) {
    const std::string name(500, 'n');
    EXPECT_EQ(0, kestrovaDial(name.c_str(), std::string(469, '1').c_str()));
    ASSERT_EQ(1u, platform.dialledCards.size());
    EXPECT_EQ(1023u, platform.dialledCards[0].size());

    resetPlatformDouble();
    EXPECT_EQ(-1, kestrovaDial(name.c_str(), std::string(470, '1').c_str()));
    EXPECT_EQ(0, platform.opens);  // no cut card on disk
    EXPECT_TRUE(platform.dialledPaths.empty());
    EXPECT_EQ(0, platform.allocations);

    resetPlatformDouble();
    const std::string huge(100000, 'x');
    EXPECT_EQ(-1, kestrovaDial(huge.c_str(), huge.c_str()));
    EXPECT_TRUE(platform.dialledPaths.empty());
}

TEST_F(DialHandoff, ShellResultsOf32OrLessAreReturnedAboveAreSuccess) {
    const struct {
        int32_t shell;
        int expected;
    } cases[] = {{0, 0}, {2, 2}, {31, 31}, {32, 32}, {33, 0}, {42, 0}, {INT_MAX, 0}};
    for (const auto& c : cases) {
        resetPlatformDouble();
        platform.shellResult = c.shell;
        // The placeholder first: right after an accepted dial it is skipped.
        EXPECT_EQ(c.expected, kestrovaStartup()) << "shell result " << c.shell;
        EXPECT_EQ(c.expected, kestrovaDial("Ann", "1")) << "shell result " << c.shell;
    }
}

// A request's placeholder hand-off leaves the file alone while a dial card
// the shell took over may still be unread, and only then; the request goes on.
TEST_F(DialHandoff, RequestSparesADialCardThatMayBeUnread) {
    struct Case {
        const char* what;
        void (*spoilDial)(PlatformDouble&);
        uint32_t msLater;
        bool placeholderWritten;
    } cases[] = {
        {"at once", nullptr, 0, false},
        {"just inside the window", nullptr, 9999, false},
        {"once the window has passed", nullptr, 10000, true},
        {"shell failure read as success", [](PlatformDouble& p) { p.shellResult = 0; }, 0, true},
    };
    for (const Case& c : cases) {
        resetPlatformDouble();
        ASSERT_EQ(0, kestrovaHookOff());
        platform.phoneServing = false;  // gone since: a request hands the placeholder over
        platform.milliseconds = 0xFFFFF000u;  // the clock wraps around in between
        if (c.spoilDial) c.spoilDial(platform);
        kestrovaDial("Ann", "123");
        const std::string left = platform.fileContents;
        platform.shellResult = 42;
        platform.milliseconds += c.msLater;
        const int opensBefore = platform.opens;
        EXPECT_EQ(0, kestrovaHookOff()) << c.what;
        EXPECT_EQ(c.placeholderWritten, platform.opens > opensBefore) << c.what;
        EXPECT_EQ(c.placeholderWritten ? card("0", "0") : left, platform.fileContents) << c.what;
        EXPECT_EQ(2u, platform.commands.size()) << c.what;
    }
    // Once seen to have passed, the window stays closed, also when the clock
    // has come round to the dial's time again 49.7 days later.
    resetPlatformDouble();
    kestrovaDial("Ann", "123");
    platform.milliseconds = 10000;
    kestrovaStartup();
    platform.milliseconds = 5;
    kestrovaStartup();
    EXPECT_EQ(3u, platform.dialledCards.size());
}

// The directory as the second fetch finds it is used only when it fits the
// path buffer sized by the first.
TEST_F(DialHandoff, DirectoryThatChangesBetweenFetches) {
    const struct {
        const char* what;
        uint32_t lengthReported;
        const char* onFetch;
        int expected;
        const char* pathOpened;
    } cases[] = {
        {"shorter", 0, "C:\\T\\", 0, "C:\\T\\\\kestrova.vcf"},
        {"longer", 0, "C:\\A much longer temp\\", -2, ""},
        {"length wraps the path size", UINT32_MAX - 5, "", -2, ""},
    };
    for (const auto& c : cases) {
        resetPlatformDouble();
        platform.tempLengthReported = c.lengthReported;
        platform.tempDirectoryOnFetch = c.onFetch;
        EXPECT_EQ(c.expected, kestrovaStartup()) << c.what;
        EXPECT_EQ(c.pathOpened, platform.openedPath) << c.what;
        EXPECT_EQ(0, platform.liveBlocks) << c.what;
    }
}

}  // namespace
