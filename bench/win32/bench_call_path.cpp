// The library's two call paths against raw DDEML, under Wine, with the
// stand-in phone application on the other side. Prints numbers; passes no
// judgement except on correctness (a lost or damaged notification, a refused
// command or a failed set-up ends the run with a non-zero exit code).
//
// Command path: the baseline is a bare DDEML client sending "[hangup()]" as an
// execute on its own conversation. kestrovaHangUp does more: it first hands
// the placeholder card over (writes the hand-off file, then the shell's
// "dial", which starts a process), then sends the same execute. The hand-off
// is measured on its own through kestrovaStartup. To see the command alone,
// the DLL's import of SHELL32!ShellExecuteA is pointed at a stub for the rest
// of the run, so that both kestrovaStartup and kestrovaHangUp cost a file
// write and only kestrovaHangUp the command: command = hang-up - start-up.
//
// Notification path: the phone floods a notification to one subscriber at a
// time; the baseline is a bare DDEML server in this process that copies each
// one into a buffer and acknowledges it, the library is kestrovaAddObserver
// with an observer that checks and counts. Time from asking for the flood
// until the last copy arrived, per notification.
//
// Usage: bench_call_path [--commands=N] [--handoffs=N] [--notifications=N]
//                        [--rounds=N]
// Run it through scripts/bench-win32, which starts it under wine-run with the
// stand-in phone registered as the "dial" handler.

#include <windows.h>
#include <ddeml.h>
#include <shellapi.h>

#include <algorithm>
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

using kestrova_test::PhoneControl;
using kestrova_test::pumpUntil;

// ---- Options ----------------------------------------------------------------

struct Options {
    unsigned long commands = 2000;        // command-path iterations
    unsigned long handoffs = 10;          // real hand-offs timed
    unsigned long notifications = 10000;  // copies per flood
    unsigned long rounds = 3;             // floods per side, alternating
};

bool parseOption(const char* argument, const char* name, unsigned long* value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(argument + length + 1, &end, 10);
    if (end == argument + length + 1 || *end != '\0' || parsed == 0) return false;
    *value = parsed;
    return true;
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        if (!parseOption(argv[i], "--commands", &options->commands) &&
            !parseOption(argv[i], "--handoffs", &options->handoffs) &&
            !parseOption(argv[i], "--notifications", &options->notifications) &&
            !parseOption(argv[i], "--rounds", &options->rounds)) {
            std::fprintf(stderr, "unknown option: %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

// ---- Time and statistics ----------------------------------------------------------

// The performance counter and its frequency, each read as the one 64-bit
// number a LARGE_INTEGER holds.
double ticksPerUs() {
    LONGLONG frequency = 0;
    QueryPerformanceFrequency(reinterpret_cast<LARGE_INTEGER*>(&frequency));
    return static_cast<double>(frequency) / 1e6;
}

LONGLONG now() {
    LONGLONG counter = 0;
    QueryPerformanceCounter(reinterpret_cast<LARGE_INTEGER*>(&counter));
    return counter;
}

double elapsedUs(LONGLONG start, LONGLONG end) {
    static const double perUs = ticksPerUs();
    return static_cast<double>(end - start) / perUs;
}

struct Summary {
    double median = 0;
    double trimmedMean = 0;  // the middle 80%
    double p10 = 0;
    double p90 = 0;
};

Summary summarise(std::vector<double> samples) {
    Summary s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.p10 = samples[n / 10];
    s.p90 = samples[n - 1 - n / 10];
    const std::size_t cut = n / 10;
    double sum = 0;
    for (std::size_t i = cut; i < n - cut; ++i) sum += samples[i];
    s.trimmedMean = sum / static_cast<double>(n - 2 * cut);
    return s;
}

void printSummary(const char* label, const Summary& s) {
    std::printf("  %-34s median %9.1f us  trimmed mean %9.1f us  (p10 %9.1f, p90 %9.1f)\n", label,
                s.median, s.trimmedMean, s.p10, s.p90);
}

// ---- Raw DDEML: a client of the phone and a server for its notifications ----------------

DWORD rawServerInstance = 0;
HSZ rawServiceName = nullptr;
HSZ rawTopicName = nullptr;
std::string rawExpected;
unsigned long rawReceived = 0;
unsigned long rawDamaged = 0;

// The bare minimum of a notification server: accept connections to the
// service on "Server", copy each execute into a buffer, acknowledge it.
HDDEDATA CALLBACK rawServerCallback(UINT type, UINT, HCONV, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                                    ULONG_PTR, ULONG_PTR) {
    switch (type) {
        case XTYP_CONNECT:
            return reinterpret_cast<HDDEDATA>(
                static_cast<ULONG_PTR>(hsz1 == rawTopicName && hsz2 == rawServiceName));
        case XTYP_EXECUTE: {
            char buffer[1024];
            const DWORD size = DdeGetData(data, reinterpret_cast<LPBYTE>(buffer), sizeof buffer, 0);
            ++rawReceived;
            if (size != rawExpected.size() || std::memcmp(buffer, rawExpected.data(), size) != 0)
                ++rawDamaged;
            return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DDE_FACK));
        }
        default:
            return nullptr;
    }
}

std::string rawServerStart() {
    char name[32];
    std::snprintf(name, sizeof name, "KestrovaRaw.%08lX", GetCurrentProcessId());
    if (DdeInitializeA(&rawServerInstance, rawServerCallback, APPCMD_FILTERINITS, 0) !=
        DMLERR_NO_ERROR)
        return std::string();
    rawServiceName = DdeCreateStringHandleA(rawServerInstance, name, CP_WINANSI);
    rawTopicName = DdeCreateStringHandleA(rawServerInstance, "Server", CP_WINANSI);
    if (!DdeNameService(rawServerInstance, rawServiceName, nullptr, DNS_REGISTER))
        return std::string();
    return name;
}

void rawServerStop() {
    DdeFreeStringHandle(rawServerInstance, rawServiceName);
    DdeFreeStringHandle(rawServerInstance, rawTopicName);
    DdeUninitialize(rawServerInstance);  // ends the phone's conversation with it
    rawServerInstance = 0;
}

// ---- The library's observer ---------------------------------------------------------

const char* const expectedTokens[] = {"call", "ringing", "Ann Example", "+1 555 0100"};
constexpr int expectedTokenCount = 4;
constexpr char notificationText[] = "[call(\"ringing\",\"Ann Example\",\"+1 555 0100\")]";

unsigned long libraryReceived = 0;
unsigned long libraryDamaged = 0;

void KESTROVA_CALL countNotification(int count, char** tokens) {
    ++libraryReceived;
    bool intact = count == expectedTokenCount;
    for (int i = 0; intact && i < count; ++i)
        intact = std::strcmp(tokens[i], expectedTokens[i]) == 0;
    if (!intact) ++libraryDamaged;
}

// ---- The two measurements ----------------------------------------------------------------

constexpr char hangUpBytes[] = "[hangup()]";
constexpr DWORD hangUpLength = sizeof hangUpBytes - 1;  // 10, no terminator

bool measureCommandPath(const Options& options, PhoneControl& phone) {
    std::printf("Command path\n");

    // The hand-off as it is: file, shell, a second phone process.
    std::vector<double> handoff;
    const std::size_t cardsBefore = phone.logLinesStartingWith("card handoff").size();
    for (unsigned long i = 0; i < options.handoffs; ++i) {
        const LONGLONG start = now();
        const int result = kestrovaStartup();
        handoff.push_back(elapsedUs(start, now()));
        if (result != KESTROVA_OK) {
            std::printf("  kestrovaStartup returned %d\n", result);
            return false;
        }
    }
    const bool allHandedOver = pumpUntil(
        [&] {
            return phone.logLinesStartingWith("card handoff").size() >=
                   cardsBefore + options.handoffs;
        },
        20000, 50);
    const Summary handoffSummary = summarise(handoff);
    std::printf("  %lu real hand-offs (file + shell \"dial\" + second phone process)%s\n",
                options.handoffs, allHandedOver ? "" : " -- NOT ALL REACHED THE PHONE");
    printSummary("kestrovaStartup, real hand-off", handoffSummary);
    if (!allHandedOver) return false;

    const ULONG_PTR original =
        kestrova_test::swapShellImport(reinterpret_cast<ULONG_PTR>(&kestrova_test::handOffStub));
    if (!original) {
        std::printf("  could not find KestrovaAPI.dll's import of SHELL32!ShellExecuteA\n");
        return false;
    }

    kestrova_test::RawClient raw;
    if (!raw.connect("Kestrova", "Server")) {
        std::printf("  the raw client could not connect to Kestrova/Server\n");
        return false;
    }
    // The library's conversation is made by its first request and kept.
    if (kestrovaHangUp() != KESTROVA_OK) {
        std::printf("  the first kestrovaHangUp failed\n");
        return false;
    }

    // Interleaved, so that drift in the machine's load touches all three
    // alike, and in rotating order, so that none always follows the same one.
    std::vector<double> times[3];  // raw, start-up, hang-up
    std::vector<double> differences;
    unsigned long failures = 0;
    const long stubBefore = kestrova_test::stubbedHandOffs;
    for (unsigned long i = 0; i < options.commands; ++i) {
        double took[3] = {};
        for (unsigned long step = 0; step < 3; ++step) {
            const unsigned long which = (i + step) % 3;
            const LONGLONG start = now();
            const bool done = which == 0   ? raw.execute(hangUpBytes, hangUpLength)
                              : which == 1 ? kestrovaStartup() == KESTROVA_OK
                                           : kestrovaHangUp() == KESTROVA_OK;
            took[which] = elapsedUs(start, now());
            failures += done ? 0 : 1;
        }
        for (int which = 0; which < 3; ++which) times[which].push_back(took[which]);
        differences.push_back(took[2] - took[1]);
    }
    kestrova_test::swapShellImport(original);
    const long stubbed = kestrova_test::stubbedHandOffs - stubBefore;

    const Summary rawSummary = summarise(times[0]);
    const Summary startupSummary = summarise(times[1]);
    const Summary hangUpSummary = summarise(times[2]);
    const Summary differenceSummary = summarise(differences);
    std::printf("  %lu iterations, hand-off stubbed (%ld stub calls), %lu failures\n",
                options.commands, stubbed, failures);
    printSummary("raw DDEML execute \"[hangup()]\"", rawSummary);
    printSummary("kestrovaStartup, file write only", startupSummary);
    printSummary("kestrovaHangUp, file write + command", hangUpSummary);
    printSummary("per-iteration hang-up - start-up", differenceSummary);

    const double commandMedian = hangUpSummary.median - startupSummary.median;
    const double commandTrimmed = hangUpSummary.trimmedMean - startupSummary.trimmedMean;
    std::printf("  kestrovaHangUp = hand-off %.1f us (real) + command %.1f us (medians; %.1f us "
                "by trimmed means)\n",
                handoffSummary.median, commandMedian, commandTrimmed);
    std::printf("  command / raw: %.3fx by medians, %.3fx by trimmed means (target <= 1.10x)\n",
                commandMedian / rawSummary.median, commandTrimmed / rawSummary.trimmedMean);
    std::printf("  whole kestrovaHangUp with the real hand-off / raw: %.1fx\n",
                (handoffSummary.median + commandMedian) / rawSummary.median);
    return failures == 0 && stubbed == static_cast<long>(2 * options.commands);
}

// Waits for the phone to have connected to (or dropped) a subscriber.
bool waitForSubscriber(PhoneControl& phone, const std::string& name, bool present) {
    return pumpUntil(
        [&] {
            const std::vector<std::string> names = phone.subscribers();
            const bool found = std::find(names.begin(), names.end(), name) != names.end();
            return found == present;
        },
        20000, 20);
}

// Asks for the flood and pumps until count copies arrived; microseconds per
// notification, or a negative number on a time-out.
double timeFlood(PhoneControl& phone, unsigned long count, const unsigned long& received) {
    const LONGLONG start = now();
    if (!phone.notify(notificationText, count)) return -1;
    const DWORD timeoutMs = 60000 + count * 20;
    if (!pumpUntil([&] { return received >= count; }, timeoutMs, 5)) return -1;
    return elapsedUs(start, now()) / static_cast<double>(count);
}

// The phone's own tally of a flood to name: true when every copy was acked.
bool floodAcknowledged(PhoneControl& phone, const std::string& name, unsigned long count) {
    const std::string wanted = "flood execute " + name + " " + std::to_string(count) +
                               " sent=" + std::to_string(count) + " ack=" + std::to_string(count) +
                               " fail=0 ";
    return phone.waitForLog(wanted, 20000);
}

// Floods subscriber name with count copies and prints the time per
// notification; returns it, or 0 when a copy was lost, damaged or not
// acknowledged.
double measureFlood(PhoneControl& phone, const char* label, unsigned long round,
                    const std::string& name, unsigned long count, unsigned long& received,
                    unsigned long& damaged) {
    phone.clearLog();
    received = damaged = 0;
    const double per = timeFlood(phone, count, received);
    const bool acked = floodAcknowledged(phone, name, count);
    std::printf("  %-21s flood %lu: %8.1f us/notification, %lu received, %lu damaged%s\n", label,
                round + 1, per, received, damaged, acked ? "" : ", NOT ALL ACKED");
    return per > 0 && acked && received == count && damaged == 0 ? per : 0;
}

bool measureNotificationPath(const Options& options, PhoneControl& phone) {
    std::printf("Notification path: %lu copies of %s per flood, %lu floods each, alternating\n",
                options.notifications, notificationText, options.rounds);
    rawExpected = notificationText;
    const std::string observerName = kestrova_test::observerServiceName();

    std::vector<double> rawPer, libraryPer, ratios;
    bool ok = true;
    for (unsigned long round = 0; round < options.rounds && ok; ++round) {
        // Raw: our own service, subscribed with a raw execute.
        {
            const std::string name = rawServerStart();
            kestrova_test::RawClient client;
            const std::string subscribe = "[subscribe(\"" + name + "\")]";
            if (name.empty() || !client.connect("Kestrova", "Server") ||
                !client.execute(subscribe.data(), static_cast<DWORD>(subscribe.size())) ||
                !waitForSubscriber(phone, name, true)) {
                std::printf("  the raw server could not subscribe\n");
                return false;
            }
            const double per = measureFlood(phone, "raw DDEML server,", round, name,
                                            options.notifications, rawReceived, rawDamaged);
            ok = per > 0;
            rawPer.push_back(per);
            rawServerStop();
            ok = waitForSubscriber(phone, name, false) && ok;
        }
        if (!ok) break;
        // The library.
        {
            if (kestrovaAddObserver(countNotification) != KESTROVA_OK ||
                !waitForSubscriber(phone, observerName, true)) {
                std::printf("  kestrovaAddObserver failed\n");
                return false;
            }
            const double per = measureFlood(phone, "kestrovaAddObserver,", round, observerName,
                                            options.notifications, libraryReceived, libraryDamaged);
            ok = per > 0;
            libraryPer.push_back(per);
            ratios.push_back(per / rawPer.back());
            kestrovaRemoveObserver(countNotification);
            ok = waitForSubscriber(phone, observerName, false) && ok;
        }
    }
    if (!ok) return false;
    const Summary rawSummary = summarise(rawPer);
    const Summary librarySummary = summarise(libraryPer);
    std::printf("  raw %.1f us, library %.1f us per notification (medians of %lu floods)\n",
                rawSummary.median, librarySummary.median, options.rounds);
    std::printf("  library / raw: %.3fx by the medians, %.3fx as the median of each round's "
                "ratio (target <= 1.10x)\n",
                librarySummary.median / rawSummary.median, summarise(ratios).median);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) return 2;
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (kestrova_test::phoneExePath().empty()) {
        std::fprintf(stderr, "KESTROVA_PHONE_EXE is not set: run under wine-run with "
                             "KESTROVA_DIAL_HANDLER (scripts/bench-win32 does)\n");
        return 2;
    }
    const HANDLE process = kestrova_test::startPhone();
    PhoneControl phone;
    if (!process || !phone.connect()) {
        std::fprintf(stderr, "the stand-in phone did not start\n");
        return 1;
    }

    const DWORD start = GetTickCount();
    bool ok = measureCommandPath(options, phone);
    std::printf("  (%lu ms)\n", GetTickCount() - start);
    const DWORD middle = GetTickCount();
    ok = measureNotificationPath(options, phone) && ok;
    std::printf("  (%lu ms)\n", GetTickCount() - middle);

    kestrovaRemoveObserver(nullptr);
    phone.exitPhone();
    if (kestrova_test::waitForExit(process, 10000) == STILL_ACTIVE) TerminateProcess(process, 1);
    CloseHandle(process);
    std::printf(ok ? "done\n" : "FAILED\n");
    return ok ? 0 : 1;
}
