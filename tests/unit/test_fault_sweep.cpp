// Every export against every fault it can meet: the nth fallible platform
// call fails, for n = 1, 2, ... until the call meets none. Each failure
// must give its documented code, leave the link where it got to and leave
// nothing half done; the same call then succeeds.

#include <gtest/gtest.h>

#include "KestrovaAPI.h"
#include "dial_handoff.h"
#include "link.h"
#include "platform_double.h"
#include "recording_observer.h"

namespace {

enum Stage { idle, registered, connected };

Stage linkStage() {
    if (linkState.instance == 0) return idle;
    return linkState.conversation ? connected : registered;
}

int32_t codeOf(Fallible call) {
    switch (call) {
        case Fallible::tempFetch:
        case Fallible::heap:
        case Fallible::threadHold:
        case Fallible::ddeInstance:
        case Fallible::name: return -2;
        case Fallible::open: return -3;
        case Fallible::shell: return 32;  // the shell's own error
        default: return -1;
    }
}

// How far the link gets before the call fails; a failed hand-off leaves it
// as it was.
Stage stageAfter(Fallible call, Stage before) {
    switch (call) {
        case Fallible::threadHold:
        case Fallible::ddeInstance:
        case Fallible::name: return idle;
        case Fallible::connect: return registered;
        case Fallible::execute: return connected;
        default: return before;
    }
}

constexpr int asBefore = -1;

struct Export {
    const char* name;
    int (*call)();
    int stageOnSuccess;  // a Stage, or asBefore
    bool changesObserver = false;
    ObserverCallback observerOnSuccess = nullptr;
    bool opensDialWindow = false;
};

const Export exportsToSweep[] = {
    {"dial", [] { return kestrovaDial("Ann", "123"); }, asBefore, false, nullptr, true},
    {"startup", [] { return kestrovaStartup(); }, asBefore},
    {"hookoff", [] { return kestrovaHookOff(); }, connected},
    {"hangup", [] { return kestrovaHangUp(); }, connected},
    {"add", [] { return kestrovaAddObserver(secondObserver); }, connected, true, secondObserver},
    {"remove", [] { return kestrovaRemoveObserver(linkState.observer); }, idle, true, nullptr},
};

void PrintTo(const Export& e, std::ostream* out) { *out << e.name; }

class FaultSweep : public ::testing::TestWithParam<Export> {};

TEST_P(FaultSweep, EachFaultGivesItsCodeAndLeavesNothingHalfDone) {
    const Export& e = GetParam();
    PlatformDouble& platform = platformDouble();
    for (bool subscribed : {false, true}) {
        for (bool fromThenOn : {false, true}) {
            for (int n = 1;; ++n) {
                resetPlatformDouble();
                if (subscribed) ASSERT_EQ(0, kestrovaAddObserver(firstObserver));
                const Stage before = linkStage();
                const ObserverCallback observerBefore = linkState.observer;
                platform.failCall(n, fromThenOn);
                const int result = e.call();
                SCOPED_TRACE(::testing::Message() << e.name << ", subscribed " << subscribed
                                                  << ", fault " << n << " from then on "
                                                  << fromThenOn);
                EXPECT_EQ("", halfDone());
                if (!platform.faultInjected()) {
                    EXPECT_EQ(0, result);
                    EXPECT_EQ(e.changesObserver ? e.observerOnSuccess : observerBefore,
                              linkState.observer);
                    EXPECT_EQ(e.stageOnSuccess == asBefore ? before : e.stageOnSuccess,
                              linkStage());
                    EXPECT_EQ(e.opensDialWindow, dialCardWindow.open);
                    break;
                }
                // A connection that fails before any card went over only
                // finds the phone not running yet: the card goes over, and
                // the connection is tried again.
                if (result == 0 && platform.faults == std::vector<Fallible>{Fallible::connect}) {
                    EXPECT_EQ(1u, platform.dialledCards.size());
                    EXPECT_EQ(connected, linkStage());
                    continue;
                }
                const Fallible failed = platform.faults.back();  // after that one, the last decides
                SCOPED_TRACE(fallibleName(failed));
                EXPECT_EQ(codeOf(failed), result);
                EXPECT_EQ(stageAfter(failed, before), linkStage());
                EXPECT_EQ(observerBefore, linkState.observer);
                EXPECT_FALSE(dialCardWindow.open);  // only an accepted dial opens it
                platform.failCall(0);
                EXPECT_EQ(0, e.call()) << "once the fault has passed";
                EXPECT_EQ("", halfDone());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Exports, FaultSweep, ::testing::ValuesIn(exportsToSweep),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
