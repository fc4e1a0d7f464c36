// libFuzzer target for sequences of calls against the platform double.
//
// The input is a list of steps, a byte or two each: the six exports with
// their arguments, connections and notifications from the phone, observers
// that call back into the library, window messages during a connection or
// a command's wait, the put-off close's timer, the link's thread switching
// or ending, and faults from the double's countdown. After every step it
// checks what must hold between calls (halfDone: nothing leaks, DDEML never
// lost an instance it was using, a pending close has no observer and its
// timer armed on the link's thread) and that each result is documented.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "KestrovaAPI.h"
#include "link.h"
#include "platform_double.h"

namespace {

constexpr int deepestNesting = 3;  // steps inside observers and waits
constexpr int stepKinds = 16;

const uint8_t* input;
std::size_t left;
int nesting;
std::set<uint32_t> endedThreads;
uint32_t nextThreadId;

uint8_t nextByte() {
    if (left == 0) return 0;
    --left;
    return *input++;
}

void check(bool kept, const char* what) {
    if (kept) return;
    std::fprintf(stderr, "call sequences: %s\n", what);
    std::abort();
}

void checkResult(int result, bool removal) {
    check(removal ? result == 0 || result == -1 : result >= -3 && result <= 32,
          "a result the header does not document");
}

void step();

void nestedStep() {
    if (nesting >= deepestNesting) return;
    ++nesting;
    step();
    --nesting;
}

void KESTROVA_CALL quietObserver(int, char**) {}
void KESTROVA_CALL callingBackObserver(int, char**) { nestedStep(); }
// One of the two observers, none, or the observer the library has now.
ObserverCallback nextObserver() {
    const ObserverCallback observers[] = {quietObserver, callingBackObserver, nullptr,
                                          linkState.observer};
    return observers[nextByte() % 4];
}

// DDEML delivers the link's transactions on the thread that made it, and
// only while that thread lives.
template <typename Deliver>
void onLinkThread(Deliver deliver) {
    PlatformDouble& platform = platformDouble();
    if (platform.instance == 0) return;
    const uint32_t caller = platform.threadId;
    platform.threadId = platform.instanceThread;
    deliver();
    platform.threadId = caller;
}

void deliverNotification() {
    static const char* const texts[] = {"[call(\"ringing\",\"Ann\",\"1\")]", "[f()]", "[f(a]", ""};
    const char* text = texts[nextByte() % 4];
    const uint32_t type = nextByte() % 2 ? ddePoke : ddeExecute;
    onLinkThread([&] { platformDouble().notify(text, type); });
}

void deliverConnection() {
    const bool ours = nextByte() % 2;
    onLinkThread([&] {
        platformDouble().connect(ours ? linkState.observerServiceName : "Kestrova", "Server");
    });
}

// The put-off close's timer fires on its own thread, if that still runs:
// from the message loop, or from the wait a nested step is in.
void fireTimer() {
    PlatformDouble& platform = platformDouble();
    if (!platform.soonCall || endedThreads.count(platform.soonCallThread)) return;
    if (nesting > 0 && platform.soonCallThread != platform.threadId) return;
    const uint32_t caller = platform.threadId;
    platform.threadId = platform.soonCallThread;
    platform.runSoonCall();
    platform.threadId = caller;
}

void switchThread() {
    uint32_t id = nextByte() % 3 + 1;
    if (endedThreads.count(id)) id = nextThreadId++;
    platformDouble().threadId = id;
}

void endLinkThread() {
    PlatformDouble& platform = platformDouble();
    const uint32_t owner = linkState.ownerThreadId;
    if (owner == 0) return;
    platform.endThread(owner);
    endedThreads.insert(owner);
    if (platform.threadId == owner) platform.threadId = nextThreadId++;
}

void dial() {
    const std::string name(nextByte() * 4u, 'n');
    const std::string number(nextByte() % 16u, '1');
    checkResult(kestrovaDial(name.c_str(), number.c_str()), false);
}

void step() {
    PlatformDouble& platform = platformDouble();
    switch (nextByte() % stepKinds) {
        case 0: dial(); break;
        case 1: checkResult(kestrovaStartup(), false); break;
        case 2: checkResult(kestrovaHookOff(), false); break;
        case 3: checkResult(kestrovaHangUp(), false); break;
        case 4: checkResult(kestrovaAddObserver(nextObserver()), false); break;
        case 5: checkResult(kestrovaRemoveObserver(nextObserver()), true); break;
        case 6: deliverNotification(); break;
        case 7: deliverConnection(); break;
        case 8: fireTimer(); break;
        case 9: platform.duringConnect = [] {
                platformDouble().duringConnect = nullptr;
                nestedStep();
            };
            break;
        case 10: platform.duringExecute = [] {
                platformDouble().duringExecute = nullptr;
                nestedStep();
            };
            break;
        case 11: if (nesting == 0) switchThread(); break;
        case 12: if (nesting == 0) endLinkThread(); break;
        case 13: {
            const uint8_t fault = nextByte();
            platform.failCall(fault % 16, fault & 0x80);
            break;
        }
        case 14: platform.milliseconds += nextByte() % 2 ? 10000 : 100; break;
        case 15: {
            const uint8_t phone = nextByte();
            platform.phoneServing = phone & 1;
            platform.phoneAccepts = phone & 2;
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    resetPlatformDouble();
    input = data;
    left = size;
    nesting = 0;
    endedThreads.clear();
    nextThreadId = 4;
    while (left > 0) {
        step();
        const std::string wrong = halfDone();
        if (!wrong.empty()) check(false, wrong.c_str());
    }
    return 0;
}
