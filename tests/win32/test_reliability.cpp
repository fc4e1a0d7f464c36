// KestrovaAPI.dll held to a long run under Wine against the stand-in phone:
// a 10,000-notification flood, a thousand observer cycles and a thousand
// commands, a phone application that dies and comes back twenty times, and
// floods of notifications the library must refuse. Every stage checks that
// what arrived is complete and unaltered and that the process's handles,
// heap, private bytes and windows stay level once warmed up, and prints how
// long it took.
//
// The shell's "dial" hand-off starts a process on every request (a quarter
// to half a second here), so the thousand-fold loops run with the DLL's import of
// SHELL32!ShellExecuteA pointed at a stub: the library still writes its
// hand-off file and does all of its own work, but starts nothing. A shorter
// loop keeps the real hand-off. Counts can be raised or lowered through the
// environment (see the Counts below).

#include <gtest/gtest.h>
#include <windows.h>
#include <ddeml.h>
#include <malloc.h>  // _get_heap_handle: the C runtime's heap
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KestrovaAPI.h"
#include "handoff_stub.h"
#include "library_test_support.h"
#include "phone_control.h"

namespace {

using kestrova_test::observerServiceName;
using kestrova_test::PhoneControl;
using kestrova_test::StubbedHandOff;
using kestrova_test::stubbedHandOffs;
using kestrova_test::pumpMessagesFor;
using kestrova_test::pumpUntil;

// ---- Counts ------------------------------------------------------------------------

unsigned long countFromEnvironment(const char* name, unsigned long fallback) {
    char text[32];
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) return fallback;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0' && value > 0 ? value : fallback;
}

struct Counts {
    unsigned long notifications = countFromEnvironment("KESTROVA_RELIABILITY_NOTIFICATIONS", 10000);
    unsigned long cycles = countFromEnvironment("KESTROVA_RELIABILITY_CYCLES", 1000);
    unsigned long commands = countFromEnvironment("KESTROVA_RELIABILITY_COMMANDS", 1000);
    unsigned long realHandOffs = countFromEnvironment("KESTROVA_RELIABILITY_REAL_HANDOFFS", 20);
    unsigned long restarts = countFromEnvironment("KESTROVA_RELIABILITY_RESTARTS", 20);
    unsigned long refusedCopies = countFromEnvironment("KESTROVA_RELIABILITY_REFUSED_COPIES", 300);
};

const Counts counts;

// ---- Time ---------------------------------------------------------------------------

class Stopwatch {
public:
    Stopwatch() : start_(GetTickCount()) {}
    DWORD ms() const { return GetTickCount() - start_; }

    // One line of the run's record: the stage, its duration and the cost of
    // each of count repetitions.
    void report(const char* stage, unsigned long count) const {
        const DWORD took = ms();
        std::printf("[ timing   ] %s: %lu in %lu ms, %.2f ms each\n", stage, count,
                    static_cast<unsigned long>(took),
                    count ? static_cast<double>(took) / static_cast<double>(count) : 0.0);
    }

private:
    DWORD start_;
};

// ---- What the process holds -----------------------------------------------------------

struct Resources {
    unsigned long handles = 0;
    SIZE_T privateBytes = 0;
    SIZE_T runtimeHeap = 0;  // busy bytes in the C runtime's heap: the library's own blocks
    SIZE_T systemHeaps = 0;  // busy bytes in every other heap: DDEML's, the system's
    unsigned windows = 0;    // top-level and message-only windows of this thread
};

bool underWine() {
    static const bool wine =
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// GetProcessHandleCount, or where it reports none (Wine answers 0) the
// handles found by probing the table, which Wine fills from the bottom.
unsigned long handleCount() {
    DWORD reported = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &reported) && reported != 0) return reported;
    unsigned long found = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4, highest = 0; value < highest + 4096; value += 4) {
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) continue;
        ++found;
        highest = value;
    }
    return found;
}

// PrivateUsage, or where it reads 0 (Wine) PagefileUsage, the same commit
// charge under its older name.
SIZE_T privateBytes() {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory))
        return 0;
    return memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
}

SIZE_T busyBytes(HANDLE heap) {
    SIZE_T busy = 0;
    if (!HeapLock(heap)) return 0;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    }
    HeapUnlock(heap);
    return busy;
}

BOOL CALLBACK countWindow(HWND, LPARAM counter) {
    ++*reinterpret_cast<unsigned*>(counter);
    return TRUE;
}

unsigned threadWindows() {
    unsigned count = 0;
    EnumThreadWindows(GetCurrentThreadId(), countWindow, reinterpret_cast<LPARAM>(&count));
    for (HWND window = nullptr;
         (window = FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr)) != nullptr;) {
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) ++count;
    }
    return count;
}

Resources measure() {
    pumpMessagesFor(50);  // let DDEML finish what it had in hand
    Resources r;
    r.handles = handleCount();
    r.privateBytes = privateBytes();
    const HANDLE runtime = reinterpret_cast<HANDLE>(_get_heap_handle());
    HANDLE heaps[64];
    const DWORD total = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < total && i < 64; ++i) {
        (heaps[i] == runtime ? r.runtimeHeap : r.systemHeaps) += busyBytes(heaps[i]);
    }
    r.windows = threadWindows();
    return r;
}

long long delta(SIZE_T after, SIZE_T before) {
    return static_cast<long long>(after) - static_cast<long long>(before);
}

// What a warmed-up run may gain without it counting as growth. A leak of one
// small block per repetition shows in the heaps after a thousand. Private
// bytes under Wine on qemu are the emulator's own memory, which moves in
// steps of up to 2 MB whatever the program does: they catch only big leaks.
constexpr long long handleSlack = 2;
constexpr long long runtimeHeapSlack = 8 * 1024;
constexpr long long systemHeapSlack = 16 * 1024;
constexpr long long privateSlack = 4 * 1024 * 1024;

// What Wine's DDEML keeps for good, bare DDEML programs alike, and so is
// not counted against the library (under Wine only):
//  - every execute's data handle, after the callback returned: the text and
//    4 bytes for each execute this process received;
//  - every client conversation that ended without its client closing it:
//    one whose server went away (DdeDisconnect and DdeUninitialize skip it)
//    and every DdeConnect that found no server. Its window and its record
//    stay.
struct WineKeeps {
    unsigned long long executeBytes = 0;  // sum of (text length + 4) over the executes
    unsigned long deadConversations = 0;
};
constexpr long long deadConversationBytes = 256;

void expectNoGrowth(const char* stage, const Resources& before, const Resources& after,
                    const WineKeeps& keeps = WineKeeps()) {
    const bool wine = underWine();
    const long long heapAllowance =
        wine ? static_cast<long long>(keeps.executeBytes) +
                   static_cast<long long>(keeps.deadConversations) * deadConversationBytes
             : 0;
    const unsigned windowAllowance = wine ? keeps.deadConversations : 0;
    std::printf("[ resource ] %s: handles %lu -> %lu, windows %u -> %u, private bytes %lu -> "
                "%lu KB (%+lld KB)\n"
                "[ resource ]   C runtime heap %lu -> %lu bytes (%+lld), other heaps %lu -> %lu "
                "bytes (%+lld; kept by Wine's DDEML: %lld bytes, %u windows)\n",
                stage, before.handles, after.handles, before.windows, after.windows,
                static_cast<unsigned long>(before.privateBytes / 1024),
                static_cast<unsigned long>(after.privateBytes / 1024),
                delta(after.privateBytes, before.privateBytes) / 1024,
                static_cast<unsigned long>(before.runtimeHeap),
                static_cast<unsigned long>(after.runtimeHeap),
                delta(after.runtimeHeap, before.runtimeHeap),
                static_cast<unsigned long>(before.systemHeaps),
                static_cast<unsigned long>(after.systemHeaps),
                delta(after.systemHeaps, before.systemHeaps), heapAllowance, windowAllowance);
    EXPECT_LE(delta(after.handles, before.handles), handleSlack) << stage << ": handles";
    EXPECT_LE(after.windows, before.windows + windowAllowance) << stage << ": windows";
    EXPECT_LE(delta(after.runtimeHeap, before.runtimeHeap), runtimeHeapSlack)
        << stage << ": C runtime heap";
    EXPECT_LE(delta(after.systemHeaps, before.systemHeaps), systemHeapSlack + heapAllowance)
        << stage << ": other heaps";
    // The blocks Wine keeps lie among freed ones: the heap's pages hold about
    // twice their size.
    EXPECT_LE(delta(after.privateBytes, before.privateBytes), privateSlack + 2 * heapAllowance)
        << stage << ": private bytes";
}

// ---- The hand-off without a process ---------------------------------------------------

// ---- The observer: compares every notification with what may arrive --------------------

using Tokens = std::vector<std::string>;

struct Expected {
    const Tokens* allowed[2] = {nullptr, nullptr};  // what may arrive now
    unsigned long matched[2] = {0, 0};
    unsigned long delivered = 0;
    unsigned long damaged = 0;
    std::string firstDamage;  // kept short: the check must not grow the heap
};

Expected expected;

void expect(const Tokens* first, const Tokens* second = nullptr) {
    expected.allowed[0] = first;
    expected.allowed[1] = second;
    expected.matched[0] = expected.matched[1] = 0;
    expected.delivered = expected.damaged = 0;
}

bool sameTokens(const Tokens& wanted, int count, char** tokens) {
    if (count != static_cast<int>(wanted.size())) return false;
    for (int i = 0; i < count; ++i) {
        if (!tokens[i] || wanted[i] != tokens[i]) return false;
    }
    return true;
}

void KESTROVA_CALL checkNotification(int count, char** tokens) {
    ++expected.delivered;
    for (int i = 0; i < 2; ++i) {
        if (expected.allowed[i] && sameTokens(*expected.allowed[i], count, tokens)) {
            ++expected.matched[i];
            return;
        }
    }
    if (expected.damaged++ == 0) {
        char text[160];
        std::snprintf(text, sizeof text, "%d tokens, first \"%.60s\"", count,
                      count > 0 && tokens && tokens[0] ? tokens[0] : "");
        expected.firstDamage = text;
    }
}

// ---- Notification texts ------------------------------------------------------------------

std::string numberedArguments(int count) {
    std::string list;
    for (int i = 1; i <= count; ++i) list += (i > 1 ? "," : "") + std::to_string(i);
    return list;
}

// "a,a,...": count one-letter arguments, short enough to fit 1,023 bytes.
std::string shortArguments(int count) {
    std::string list = "a";
    for (int i = 1; i < count; ++i) list += ",a";
    return list;
}

Tokens numberedTokens(const char* name, int count) {
    Tokens tokens{name};
    for (int i = 1; i <= count; ++i) tokens.push_back(std::to_string(i));
    return tokens;
}

struct Sample {
    const char* what;
    std::string text;
    Tokens tokens;
    bool poke;
};

// Valid notifications of every shape the grammar allows, together 10 kinds.
std::vector<Sample> validSamples() {
    const std::string longest(1014, 'x');  // "[big(\"" + 1014 + "\")]" is 1023 bytes
    return {
        {"a call", "[call(\"ringing\",\"Ann Example\",\"+1 555 0100\")]",
         {"call", "ringing", "Ann Example", "+1 555 0100"}, false},
        {"plain argument, as a poke", "[line(offhook)]", {"line", "offhook"}, true},
        {"commas and parentheses in quotes",
         "[call(\"ended\",\"O'Brien, Pat (work)\",\"+44 20 7946 0000\",\"remote\")]",
         {"call", "ended", "O'Brien, Pat (work)", "+44 20 7946 0000", "remote"}, false},
        {"empty arguments dropped, spaces kept", "[status(a,,b, c )]",
         {"status", "a", "b", " c "}, false},
        {"100 tokens", "[many(" + numberedArguments(99) + ")]", numberedTokens("many", 99), false},
        {"1,023 bytes", "[big(\"" + longest + "\")]", {"big", longest}, true},
        {"ANSI letters", "[call(\"ringing\",\"Zo\xEB \xC5ngstr\xF6m\",\"+46 8 123 456\")]",
         {"call", "ringing", "Zo\xEB \xC5ngstr\xF6m", "+46 8 123 456"}, false},
        {"no brackets", "call(incoming,Bob,555)", {"call", "incoming", "Bob", "555"}, false},
        {"name only", "[ping]", {"ping"}, false},
        {"text after the list ignored", "[x(1)junk]", {"x", "1"}, false},
    };
}

// What copies of sample leave behind in Wine's DDEML (see WineKeeps).
unsigned long long executeBytes(const Sample& sample, unsigned long copies) {
    return sample.poke ? 0 : copies * (sample.text.size() + 4ull);
}

WineKeeps executes(unsigned long long bytes) {
    WineKeeps keeps;
    keeps.executeBytes = bytes;
    return keeps;
}

// Notifications that must reach no observer and be answered 0.
std::vector<Sample> refusedSamples() {
    return {
        {"no closing parenthesis", "[call(\"ringing\",\"Ann Example\"]", {}, false},
        {"list never closed", "[call(ringing,Ann", {}, false},
        {"quote never closed", "[call(\"ringing,Ann)]", {}, false},
        {"text after a closing quote", "[call(\"ringing\"x,\"Ann\")]", {}, false},
        {"empty brackets", "[]", {}, false},
        {"NUL first", std::string("\0[call(\"ringing\")]", 19), {}, false},
        {"2,000-byte quoted argument", "[call(\"" + std::string(2000, 'x') + "\")]", {}, false},
        {"2,000-byte plain argument", "[call(" + std::string(2000, 'y') + ")]", {}, true},
        {"64 KB, as a poke", "[call(\"" + std::string(65536, 'z') + "\")]", {}, true},
        {"101 tokens", "[many(" + numberedArguments(100) + ")]", {}, false},
        {"500 arguments", "[many(" + shortArguments(500) + ")]", {}, false},
        {"500 arguments, as a poke", "[many(" + shortArguments(500) + ")]", {}, true},
    };
}

// Over the size limit, though their first 1,023 bytes hold a complete
// argument list: cut to the limit, they would pass for something else.
std::vector<Sample> oversizedByALittle() {
    return {
        {"1,024 bytes, plain, closed in its last bytes",
         "[call(" + std::string(1016, 'y') + ")]", {}, false},
        {"1,024 bytes, quoted, closed in its last bytes",
         "[call(\"" + std::string(1014, 'x') + "\")]", {}, false},
        {"a valid notification padded to 1,100 bytes",
         "[call(\"ringing\")]" + std::string(1100 - 17, ' '), {}, false},
    };
}

// A log line cut to a readable length for a failure message.
std::string shortened(const std::string& line) {
    return line.size() <= 200 ? line : line.substr(0, 200) + "...";
}

// ---- The fixture: a phone of its own, the library closed afterwards -----------------------

class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(kestrova_test::phoneExePath().empty())
            << "KESTROVA_PHONE_EXE is not set: run under wine-run with KESTROVA_DIAL_HANDLER";
        ASSERT_NO_FATAL_FAILURE(launchPhone());
        expect(nullptr);
    }

    void TearDown() override {
        if (kestrovaRemoveObserver(checkNotification) != KESTROVA_OK)
            kestrovaRemoveObserver(nullptr);
        endPhone(false);
    }

    // The running phone's process, opened to wait for and to end; nullptr if
    // no phone runs.
    static HANDLE openPhoneProcess() {
        const HWND window = FindWindowA(standin::phoneWindowClass, nullptr);
        DWORD id = 0;
        if (!window || !GetWindowThreadProcessId(window, &id)) return nullptr;
        return OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, id);
    }

    // Ends the running phone, asking it to exit or killing it, and waits
    // until it is gone. True when it ended.
    bool endPhone(bool kill) {
        const HANDLE process = openPhoneProcess();
        if (!process) return true;
        if (kill) {
            TerminateProcess(process, 9);
            phone_.disconnect();
        } else if (!phone_.connect(1000) || !phone_.exitPhone()) {
            TerminateProcess(process, 9);
        }
        bool ended = kestrova_test::waitForExit(process, 10000) != STILL_ACTIVE;
        if (!ended) {
            TerminateProcess(process, 9);
            ended = kestrova_test::waitForExit(process, 5000) != STILL_ACTIVE;
        }
        CloseHandle(process);
        // A phone started while the old window still stands would hand its
        // card to it and leave.
        return ended && pumpUntil([] { return !FindWindowA(standin::phoneWindowClass, nullptr); },
                                  5000);
    }

    // Starts the phone and waits for its window, which it makes once it
    // serves. (Not through WaitForInputIdle: under Wine every call of it
    // leaves an event handle open in the caller.)
    void launchPhone() {
        std::string commandLine = "\"" + kestrova_test::phoneExePath() + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        ASSERT_TRUE(phone_.connect()) << "the phone did not come up";
    }

    void restartPhone() {
        ASSERT_TRUE(endPhone(false));
        ASSERT_NO_FATAL_FAILURE(launchPhone());
    }

    // Subscribes through the library and waits until the phone has connected
    // to the library's service.
    void subscribe() {
        ASSERT_EQ(KESTROVA_OK, kestrovaAddObserver(checkNotification));
        ASSERT_TRUE(waitForSubscriber(true));
    }

    bool waitForSubscriber(bool present, DWORD timeoutMs = 10000) {
        return pumpUntil(
            [&] {
                bool found = false;
                for (const std::string& name : phone_.subscribers())
                    found = found || name == observerName_;
                return found == present;
            },
            timeoutMs, 5);
    }

    // Has the phone flood copies of sample and waits until all arrived or
    // were answered: the phone's tally line for the flood, or "" on a time-out.
    std::string flood(const Sample& sample, unsigned long copies) {
        const std::string head = std::string("flood ") + (sample.poke ? "poke " : "execute ") +
                                 observerName_ + " " + std::to_string(copies) + " ";
        if (!phone_.clearLog() || !phone_.notify(sample.text, copies, sample.poke))
            return std::string();
        const DWORD timeoutMs = 30000 + copies * 20;
        std::string line;
        pumpUntil(
            [&] {
                const std::vector<std::string> lines = phone_.logLinesStartingWith(head);
                if (!lines.empty()) line = lines.back();
                return !line.empty();
            },
            timeoutMs, 200);
        return line;
    }

    // The phone's tally of a flood of copies that were all acknowledged, or
    // none of them.
    std::string tally(unsigned long copies, bool acknowledged) const {
        const std::string n = std::to_string(copies);
        return "sent=" + n + (acknowledged ? " ack=" + n + " fail=0" : " ack=0 fail=" + n);
    }

    // Sends the first valid sample once and checks that it arrives intact.
    void expectValidNotificationArrives() {
        static const std::vector<Sample> samples = validSamples();
        expect(&samples[0].tokens);
        ASSERT_TRUE(phone_.notify(samples[0].text));
        ASSERT_TRUE(pumpUntil([] { return expected.delivered >= 1; }, 10000))
            << "a valid notification did not arrive";
        pumpMessagesFor(20);
        EXPECT_EQ(1u, expected.delivered);
        EXPECT_EQ(1u, expected.matched[0]) << expected.firstDamage;
    }

    PhoneControl phone_;
    const std::string observerName_ = observerServiceName();
};

// ---- The notification flood --------------------------------------------------------------

TEST_F(Reliability, TenThousandNotificationsArriveIntactWithoutGrowth) {
    subscribe();
    const std::vector<Sample> samples = validSamples();
    const auto perSample =
        static_cast<unsigned long>((counts.notifications + samples.size() - 1) / samples.size());

    // A warm-up round of every shape, so that everything allocated once
    // (DDEML's, the C runtime's, the emulator's) is there before measuring.
    for (const Sample& sample : samples) {
        expect(&sample.tokens);
        ASSERT_NE("", flood(sample, 20)) << sample.what;
    }
    const Resources before = measure();

    const Stopwatch watch;
    unsigned long delivered = 0;
    unsigned long long received = 0;
    for (const Sample& sample : samples) {
        received += executeBytes(sample, perSample);
        SCOPED_TRACE(sample.what);
        expect(&sample.tokens);
        const std::string line = flood(sample, perSample);
        ASSERT_NE("", line) << "the flood did not end";
        EXPECT_NE(std::string::npos, line.find(tally(perSample, true))) << shortened(line);
        EXPECT_TRUE(pumpUntil([&] { return expected.delivered >= perSample; }, 10000));
        EXPECT_EQ(perSample, expected.delivered);
        EXPECT_EQ(perSample, expected.matched[0]) << expected.firstDamage;
        delivered += expected.matched[0];
    }
    expect(nullptr);
    const Resources after = measure();
    watch.report("notifications delivered intact", delivered);
    EXPECT_GE(delivered, counts.notifications);
    expectNoGrowth("notification flood", before, after, executes(received));
}

// ---- Observer cycles and commands ------------------------------------------------------------

TEST_F(Reliability, ThousandObserverCyclesLeaveNothingBehind) {
    const StubbedHandOff stub;
    ASSERT_TRUE(stub.active()) << "KestrovaAPI.dll imports no SHELL32!ShellExecuteA";
    const unsigned long cycles = counts.cycles;

    // Each cycle: subscribe, see the phone connect, remove. (The phone drops
    // the ended conversation by itself when the name subscribes again.)
    // Every hundredth cycle also carries a notification and then restarts the
    // phone: under Wine each subscription that ends leaves a conversation
    // window behind in the phone, and every later DdeConnect waits on all of
    // them; a thousand make a connection take a third of a second.
    auto cycle = [&](unsigned long i) {
        ASSERT_EQ(KESTROVA_OK, kestrovaAddObserver(checkNotification)) << "cycle " << i;
        ASSERT_TRUE(waitForSubscriber(true)) << "cycle " << i;
        if (i % 100 == 99) {
            ASSERT_NO_FATAL_FAILURE(expectValidNotificationArrives()) << "cycle " << i;
            expect(nullptr);
        }
        ASSERT_EQ(KESTROVA_OK, kestrovaRemoveObserver(checkNotification)) << "cycle " << i;
        if (i % 100 == 99) {
            ASSERT_NO_FATAL_FAILURE(restartPhone()) << "cycle " << i;
        }
    };
    for (unsigned long i = 80; i < 100; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i));
    const Resources before = measure();

    const long handOffsBefore = stubbedHandOffs;
    const Stopwatch watch;
    for (unsigned long i = 0; i < cycles; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i));
    EXPECT_EQ(static_cast<long>(cycles), stubbedHandOffs - handOffsBefore);
    const Resources after = measure();
    watch.report("add/remove observer cycles, hand-off stubbed", cycles);
    expectNoGrowth("observer cycles", before, after,
                   executes(cycles / 100 * executeBytes(validSamples()[0], 1)));
    EXPECT_EQ(0u, expected.damaged) << expected.firstDamage;
}

TEST_F(Reliability, ThousandCommandsLeaveNothingBehind) {
    const StubbedHandOff stub;
    ASSERT_TRUE(stub.active()) << "KestrovaAPI.dll imports no SHELL32!ShellExecuteA";
    subscribe();
    // Alternately off hook and on hook: each command makes the phone send
    // one line notification back.
    const Tokens offHook{"line", "offhook"};
    const Tokens onHook{"line", "onhook"};
    auto commands = [&](unsigned long count) {
        expect(&offHook, &onHook);
        unsigned long failed = 0;
        for (unsigned long i = 0; i < count; ++i)
            failed += (i % 2 == 0 ? kestrovaHookOff() : kestrovaHangUp()) == KESTROVA_OK ? 0 : 1;
        EXPECT_EQ(0u, failed);
        EXPECT_TRUE(pumpUntil([&] { return expected.delivered >= count; }, 20000));
        pumpMessagesFor(50);
        EXPECT_EQ((count + 1) / 2, expected.matched[0]);
        EXPECT_EQ(count / 2, expected.matched[1]);
        EXPECT_EQ(0u, expected.damaged) << expected.firstDamage;
    };
    commands(20);
    const Resources before = measure();

    const long handOffsBefore = stubbedHandOffs;
    const Stopwatch watch;
    commands(counts.commands);
    EXPECT_EQ(static_cast<long>(counts.commands), stubbedHandOffs - handOffsBefore);
    expect(nullptr);
    const Resources after = measure();
    watch.report("commands, hand-off stubbed", counts.commands);
    // The phone's "[line(\"offhook\")]" and "[line(\"onhook\")]".
    const unsigned long long lineBytes = (counts.commands + 1) / 2 * 21ull + counts.commands / 2 * 20ull;
    expectNoGrowth("commands", before, after, executes(lineBytes));
}

// The same with the real hand-off: every request starts a phone process
// that hands its card to the running one.
TEST_F(Reliability, RealHandOffLeavesNothingBehind) {
    const unsigned long count = counts.realHandOffs;
    const Tokens offHook{"line", "offhook"};
    const Tokens onHook{"line", "onhook"};
    const unsigned long warmUp = 4;

    Resources before;
    Stopwatch watch;
    for (unsigned long i = 0; i < warmUp + count; ++i) {
        if (i == warmUp) {
            before = measure();
            watch = Stopwatch();
        }
        ASSERT_EQ(KESTROVA_OK, i % 2 == 0 ? kestrovaHookOff() : kestrovaHangUp()) << i;
    }
    Resources after = measure();
    watch.report("commands with the real hand-off", count);
    expectNoGrowth("commands with the real hand-off", before, after);

    watch = Stopwatch();
    for (unsigned long i = 0; i < warmUp + count; ++i) {
        if (i == warmUp) {
            before = measure();
            watch = Stopwatch();
        }
        ASSERT_EQ(KESTROVA_OK, kestrovaAddObserver(checkNotification)) << i;
        ASSERT_TRUE(waitForSubscriber(true)) << i;
        ASSERT_EQ(KESTROVA_OK, kestrovaRemoveObserver(checkNotification)) << i;
        ASSERT_TRUE(waitForSubscriber(false)) << i;
    }
    after = measure();
    watch.report("observer cycles with the real hand-off", count);
    expectNoGrowth("observer cycles with the real hand-off", before, after);

    // Every request handed a card over; none was lost on the way.
    const std::vector<std::string> cards = phone_.logLinesStartingWith("card handoff ");
    EXPECT_GE(cards.size(), 3 * (warmUp + count) / 2) << phone_.log();
}

// ---- The phone application dies and comes back -------------------------------------------------

TEST_F(Reliability, EveryRestartOfThePhoneIsRecoveredFrom) {
    subscribe();
    // Even rounds ask the phone to exit (it ends its conversations), odd
    // rounds kill it (nothing ends them).
    unsigned long phoneMissing = 0;
    unsigned long unanswered = 0;  // subscriptions that found no phone yet
    auto restart = [&](unsigned long round) {
        const bool kill = round % 2 == 1;
        SCOPED_TRACE(std::string(kill ? "killed" : "asked to exit") + ", round " +
                     std::to_string(round));
        const HANDLE old = openPhoneProcess();
        ASSERT_NE(nullptr, old);
        const DWORD oldId = GetProcessId(old);
        CloseHandle(old);
        ASSERT_TRUE(endPhone(kill));

        // The link is stale. Each request's hand-off starts a new phone, but
        // the old conversation is still the one used.
        EXPECT_EQ(KESTROVA_FAILED, kestrovaHangUp());
        EXPECT_EQ(KESTROVA_FAILED, kestrovaHookOff());
        EXPECT_EQ(KESTROVA_FAILED, kestrovaAddObserver(checkNotification));

        // Closing the link and subscribing again recovers. The new phone may
        // still be starting (the hand-off does not wait for it to serve), so
        // the subscription is retried while nobody answers, as an
        // application would.
        ASSERT_EQ(KESTROVA_OK, kestrovaRemoveObserver(checkNotification));
        if (!phone_.connect(20000)) {
            ++phoneMissing;
            std::printf("[ note     ] round %lu: no phone after three hand-offs\n", round);
        }
        int added = KESTROVA_FAILED;
        for (int attempt = 0; attempt < 40 && added == KESTROVA_FAILED; ++attempt) {
            added = kestrovaAddObserver(checkNotification);
            if (added == KESTROVA_FAILED) {
                ++unanswered;
                pumpMessagesFor(250);
            }
        }
        ASSERT_EQ(KESTROVA_OK, added);
        ASSERT_TRUE(phone_.connect(20000)) << "no phone came back";
        const HANDLE fresh = openPhoneProcess();
        ASSERT_NE(nullptr, fresh);
        EXPECT_NE(oldId, GetProcessId(fresh));
        CloseHandle(fresh);
        ASSERT_TRUE(waitForSubscriber(true));
        ASSERT_NO_FATAL_FAILURE(expectValidNotificationArrives());
        expect(nullptr);
        EXPECT_EQ(KESTROVA_OK, kestrovaHangUp());
        EXPECT_TRUE(phone_.waitForLog("command 10 accepted [hangup()]"));
    };
    ASSERT_NO_FATAL_FAILURE(restart(0));
    ASSERT_NO_FATAL_FAILURE(restart(1));
    const Resources before = measure();
    unanswered = 0;

    const Stopwatch watch;
    for (unsigned long round = 2; round < counts.restarts + 2; ++round)
        ASSERT_NO_FATAL_FAILURE(restart(round));
    const Resources after = measure();
    watch.report("phone ended and restarted", counts.restarts);
    if (phoneMissing > 0)
        std::printf("[ note     ] in %lu of the rounds no phone came up from the stale "
                    "requests' hand-offs; the recovery's own hand-off started it\n",
                    phoneMissing);
    WineKeeps keeps = executes(counts.restarts * executeBytes(validSamples()[0], 1));
    // The library's conversation with each old phone, and every attempt to
    // subscribe before the new one served.
    keeps.deadConversations = counts.restarts + unanswered;
    expectNoGrowth("phone restarts", before, after, keeps);
}

// ---- Notifications the library must refuse -----------------------------------------------------

TEST_F(Reliability, RefusedNotificationsAreAnsweredZeroAndHarmNothing) {
    subscribe();
    const std::vector<Sample> samples = refusedSamples();
    const unsigned long copies = counts.refusedCopies;

    auto floodAll = [&](unsigned long n) {
        for (const Sample& sample : samples) {
            SCOPED_TRACE(sample.what);
            expect(nullptr);
            const std::string line = flood(sample, n);
            ASSERT_NE("", line) << "the flood did not end";
            EXPECT_NE(std::string::npos, line.find(tally(n, false))) << shortened(line);
            // The answer word is 0; an execute answered so reads as a failure.
            const bool answeredZero = line.find(" last=fail:NOTPROCESSED:0x0000 ") != std::string::npos ||
                                      line.find(" last=0x0000 ") != std::string::npos;
            EXPECT_TRUE(answeredZero) << shortened(line);
            EXPECT_EQ(0u, expected.delivered) << "reached the observer: " << expected.firstDamage;
            ASSERT_NO_FATAL_FAILURE(expectValidNotificationArrives());
        }
    };
    floodAll(5);
    const Resources before = measure();

    unsigned long long received = 0;
    for (const Sample& sample : samples)
        received += executeBytes(sample, copies) + executeBytes(validSamples()[0], 1);
    const Stopwatch watch;
    floodAll(copies);
    expect(nullptr);
    const Resources after = measure();
    watch.report("refused notifications", static_cast<unsigned long>(copies * samples.size()));
    expectNoGrowth("refused notifications", before, after, executes(received));
}

TEST_F(Reliability, NotificationsJustOverTheSizeLimitAreRefused) {
    subscribe();
    for (const Sample& sample : oversizedByALittle()) {
        SCOPED_TRACE(sample.what);
        ASSERT_GT(sample.text.size(), 1023u);
        expect(nullptr);
        const std::string line = flood(sample, 10);
        ASSERT_NE("", line) << "the flood did not end";
        EXPECT_NE(std::string::npos, line.find(tally(10, false))) << shortened(line);
        EXPECT_EQ(0u, expected.delivered) << "reached the observer as " << expected.firstDamage;
        ASSERT_NO_FATAL_FAILURE(expectValidNotificationArrives());
    }
}

}  // namespace
