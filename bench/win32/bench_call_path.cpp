// The library's two call paths against the same work done with bare DDEML,
// under Wine, with the phone simulator on the other side. Prints numbers;
// passes no judgement except on correctness (a lost or damaged notification,
// a refused command or a failed set-up ends the run with a non-zero exit
// code).
//
// Every comparison is made of pairs: one run of the library and one of the
// raw baseline doing the same work apart from what the library adds, the two
// in random order, and each pair's ratio library/raw kept. Reported: the
// median of the ratios and a distribution-free 95% interval for it. Pairs are
// added in rounds until the interval lies within +-3% of the median (or three
// times the minimum count was reached).
//
// Commands: kestrovaHangUp against, done by hand, the same look whether the
// phone is still at the other end of the conversation and the same execute
// of "[hangup()]" on it. The phone answers, so neither side hands a card
// over: the shell call is stubbed all the same, and any call counted fails
// the run. The real hand-off (kestrovaStartup) is timed on its own first.
//
// Notifications: a flood of copies of one notification from the phone to one
// subscriber: the library's observer service (kestrovaAddObserver, an
// observer that checks and counts) or a raw DDEML server set up as the
// library sets up its own, which reads each notification into the same
// 1024-byte buffer, checks and counts it unparsed, and acknowledges it. Time
// per notification: the median interval between consecutive arrivals. Under
// Wine 8 a process receives 65,535 DDE executes in its life, and the later
// ones without their data, so the floods run in child processes of this
// program, 100 pairs each.
//
// Usage: bench_call_path [--pairs=N] [--floods=N] [--copies=N] [--handoffs=N]
//                        [--seed=N]
//   --pairs     command pairs, at least (default 4000, in rounds of 1000)
//   --floods    flood pairs, at least (default 200, in rounds of 100)
//   --copies    notifications per flood (default 200)
//   --handoffs  real hand-offs timed (default 5)
//   --seed      seed of the random order (default: from the clock)
// Run it through scripts/bench-win32, which starts it under wine-run with the
// phone simulator registered as the "dial" handler.

#include <windows.h>
#include <ddeml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "KestrovaAPI.h"
#include "handoff_stub.h"
#include "library_test_support.h"
#include "paired_ratio.h"
#include "phone_control.h"

namespace {

using kestrova_test::PhoneControl;
using kestrova_test::pumpUntil;

// ---- Options ----------------------------------------------------------------------

struct Options {
    unsigned long pairs = 4000;
    unsigned long floods = 200;
    unsigned long copies = 200;
    unsigned long handoffs = 5;
    unsigned long seed = 0;
    std::string chunkFile;  // set in a child process: where its flood pairs go
};

constexpr unsigned long commandRound = 1000;
constexpr unsigned long floodRound = 100;
constexpr unsigned long maximumFactor = 3;        // pairs: at most three times the minimum
constexpr double targetHalfWidth = 0.03;          // the interval within +-3% of the median
// Executes a child process may receive: the floods of a round and one pair
// to warm up, with room to spare below the 65,535 Wine delivers.
constexpr unsigned long executesPerProcess = 60000;

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
        if (std::strncmp(argv[i], "--chunk=", 8) == 0) {
            options->chunkFile = argv[i] + 8;
            continue;
        }
        if (!parseOption(argv[i], "--pairs", &options->pairs) &&
            !parseOption(argv[i], "--floods", &options->floods) &&
            !parseOption(argv[i], "--copies", &options->copies) &&
            !parseOption(argv[i], "--handoffs", &options->handoffs) &&
            !parseOption(argv[i], "--seed", &options->seed)) {
            std::fprintf(stderr, "unknown or invalid option: %s\n", argv[i]);
            return false;
        }
    }
    if (options->copies < 2 || (floodRound + 1) * 2 * options->copies > executesPerProcess) {
        std::fprintf(stderr, "--copies must lie between 2 and %lu\n",
                     executesPerProcess / (2 * (floodRound + 1)));
        return false;
    }
    return true;
}

// ---- Time and statistics ---------------------------------------------------------------

// The performance counter and its frequency, each read as the one 64-bit
// number a LARGE_INTEGER holds.
LONGLONG now() {
    LONGLONG counter = 0;
    QueryPerformanceCounter(reinterpret_cast<LARGE_INTEGER*>(&counter));
    return counter;
}

double elapsedUs(LONGLONG start, LONGLONG end) {
    static const double perUs = [] {
        LONGLONG frequency = 0;
        QueryPerformanceFrequency(reinterpret_cast<LARGE_INTEGER*>(&frequency));
        return static_cast<double>(frequency) / 1e6;
    }();
    return static_cast<double>(end - start) / perUs;
}

double median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

// The sample at a share of the way from the smallest to the largest.
double quantile(std::vector<double> samples, double share) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double last = static_cast<double>(samples.size() - 1);
    return samples[static_cast<std::size_t>(share * last + 0.5)];
}

// One pair: the library's time and the raw baseline's, in microseconds.
struct Pair {
    double library;
    double raw;
};

struct Estimate : RatioEstimate {
    bool withinTarget() const {
        return low >= median * (1 - targetHalfWidth) && high <= median * (1 + targetHalfWidth);
    }
};

Estimate estimate(const std::vector<Pair>& pairs) {
    std::vector<double> ratios;
    for (const Pair& pair : pairs) ratios.push_back(pair.library / pair.raw);
    Estimate e;
    static_cast<RatioEstimate&>(e) = estimateRatios(std::move(ratios));
    return e;
}

// Whether another round is due after pairs, with at least minimum wanted.
bool moreWanted(const std::vector<Pair>& pairs, unsigned long minimum) {
    return pairs.size() < minimum ||
           (!estimate(pairs).withinTarget() && pairs.size() < maximumFactor * minimum);
}

const char* buildName() { return sizeof(void*) == 8 ? "x64 build" : "32-bit build"; }

// Prints the figures of one path and returns its summary line.
std::string report(const char* path, const std::vector<Pair>& pairs, const char* unit) {
    const Estimate e = estimate(pairs);
    std::vector<double> library, raw;
    for (const Pair& pair : pairs) {
        library.push_back(pair.library);
        raw.push_back(pair.raw);
    }
    std::printf("  medians: library %.1f us, raw %.1f us; ratios' 10th to 90th percentile %.3fx "
                "to %.3fx\n",
                median(library), median(raw), e.p10, e.p90);
    std::printf("  library / raw: median %.3fx, 95%% interval %.3fx to %.3fx (%+.1f%% / %+.1f%%) "
                "over %zu %s%s\n",
                e.median, e.low, e.high, 100 * (e.low / e.median - 1), 100 * (e.high / e.median - 1),
                e.pairs, unit, e.withinTarget() ? "" : " -- WIDER THAN +-3%: the machine is busy");
    char line[256];
    std::snprintf(line, sizeof line,
                  "summary: %-12s %-13s median %.3fx  95%% interval %.3fx to %.3fx  (%zu %s)",
                  buildName(), path, e.median, e.low, e.high, e.pairs, unit);
    return line;
}

// ---- What the two sides receive ---------------------------------------------------------

constexpr char notificationText[] = "[call(\"ringing\",\"Ann Example\",\"+1 555 0100\")]";
const char* const expectedTokens[] = {"call", "ringing", "Ann Example", "+1 555 0100"};
constexpr int expectedTokenCount = 4;

// Each flood's arrivals: when each copy came and how many were damaged.
struct Arrivals {
    std::vector<LONGLONG> times;
    unsigned long damaged = 0;

    void arrived(bool intact) {
        times.push_back(now());
        if (!intact) ++damaged;
    }

    // The median interval between consecutive arrivals: the time a
    // notification takes once the flood runs, robust against the moments the
    // machine gives the processor to something else.
    double medianIntervalUs() const {
        std::vector<double> intervals;
        for (std::size_t i = 1; i < times.size(); ++i)
            intervals.push_back(elapsedUs(times[i - 1], times[i]));
        return median(intervals);
    }
};

Arrivals arrivals;

void KESTROVA_CALL libraryObserver(int count, char** tokens) {
    bool intact = count == expectedTokenCount;
    for (int i = 0; intact && i < count; ++i)
        intact = std::strcmp(tokens[i], expectedTokens[i]) == 0;
    arrivals.arrived(intact);
}

bool rawReceiver(const char* bytes, DWORD size) {
    arrivals.arrived(size == sizeof notificationText - 1 &&
                     std::memcmp(bytes, notificationText, size) == 0);
    return true;
}

// ---- Commands ----------------------------------------------------------------------------

constexpr char hangUpBytes[] = "[hangup()]";
constexpr DWORD hangUpLength = sizeof hangUpBytes - 1;  // 10, no terminator

bool timeRealHandOffs(const Options& options, PhoneControl& phone) {
    std::vector<double> times;
    const std::size_t cardsBefore = phone.logLinesStartingWith("card handoff").size();
    for (unsigned long i = 0; i < options.handoffs; ++i) {
        const LONGLONG start = now();
        const int result = kestrovaStartup();
        times.push_back(elapsedUs(start, now()));
        if (result != KESTROVA_OK) {
            std::printf("  kestrovaStartup returned %d\n", result);
            return false;
        }
    }
    const std::size_t wanted = cardsBefore + options.handoffs;
    const bool allArrived = pumpUntil(
        [&] { return phone.logLinesStartingWith("card handoff").size() >= wanted; }, 20000, 50);
    std::printf("  the real hand-off (kestrovaStartup: file, shell \"dial\", a second phone "
                "process), %lu times: median %.0f us (10th to 90th percentile %.0f to %.0f us)%s\n",
                options.handoffs, median(times), quantile(times, 0.1), quantile(times, 0.9),
                allArrived ? "" : " -- NOT ALL REACHED THE PHONE");
    return allArrived;
}

bool measureCommands(const Options& options, PhoneControl& phone, std::mt19937& random,
                     std::string* summary) {
    std::printf("Commands: kestrovaHangUp against the same check and execute done by hand\n");
    if (!timeRealHandOffs(options, phone)) return false;

    const kestrova_test::StubbedHandOff stub;
    kestrova_test::RawClient raw;
    if (!stub.active() || !raw.connect("Kestrova", "Server") || kestrovaHangUp() != KESTROVA_OK) {
        std::printf("  set-up failed (shell import %s)\n", stub.active() ? "found" : "not found");
        return false;
    }
    // Each side: the look at the conversation, the execute.
    auto run = [&](bool library) {
        return library ? kestrovaHangUp() == KESTROVA_OK
                       : raw.partnerAlive() && raw.execute(hangUpBytes, hangUpLength);
    };
    std::vector<Pair> pairs;
    unsigned long failures = 0;
    const long stubBefore = kestrova_test::stubbedHandOffs;
    const unsigned long warmUp = 50;
    for (unsigned long i = 0; i < warmUp || moreWanted(pairs, options.pairs);) {
        for (const unsigned long end = i + (i < warmUp ? warmUp : commandRound); i < end; ++i) {
            const bool libraryFirst = random() & 1;
            double took[2] = {};  // raw, library
            for (const bool library : {libraryFirst, !libraryFirst}) {
                const LONGLONG start = now();
                failures += run(library) ? 0 : 1;
                took[library] = elapsedUs(start, now());
            }
            if (i >= warmUp) pairs.push_back({took[1], took[0]});
        }
    }
    const long shellCalls = kestrova_test::stubbedHandOffs - stubBefore;
    std::printf("  %zu pairs after %lu to warm up, %lu failures, %ld shell calls\n", pairs.size(),
                warmUp, failures, shellCalls);
    *summary = report("commands", pairs, "pairs");
    return failures == 0 && shellCalls == 0;
}

// ---- Notifications ---------------------------------------------------------------------

// Subscribes one side, has the phone flood it, and unsubscribes it again
// without waiting for the phone to notice: its next flood skips a subscriber
// that went. Microseconds per notification, or 0 when anything went wrong.
double floodOnce(bool library, unsigned long copies, PhoneControl& phone,
                 kestrova_test::RawClient& raw, const std::string& rawName) {
    static const std::string libraryName = kestrova_test::observerServiceName();
    const std::string& name = library ? libraryName : rawName;
    const std::string subscribe = "[subscribe(\"" + rawName + "\")]";
    const bool subscribed =
        library ? kestrovaAddObserver(libraryObserver) == KESTROVA_OK
                : raw.serve(rawName, rawReceiver) && raw.connect("Kestrova", "Server") &&
                      raw.execute(subscribe.data(), static_cast<DWORD>(subscribe.size()));
    if (!subscribed || !phone.waitForSubscriber(name, true) || !phone.clearLog()) {
        std::printf("  %s could not subscribe\n", library ? "the library" : "the raw server");
        return 0;
    }
    arrivals = Arrivals();
    arrivals.times.reserve(copies);
    const std::string tally = "flood execute " + name + " " + std::to_string(copies) +
                              " sent=" + std::to_string(copies) + " ack=" + std::to_string(copies) +
                              " fail=0 ";
    const bool acknowledged =
        phone.notify(notificationText, copies) &&
        pumpUntil([&] { return arrivals.times.size() >= copies; }, 60000 + copies * 20, 1) &&
        pumpUntil([&] { return phone.log().find(tally) != std::string::npos; }, 20000, 2);
    if (library)
        kestrovaRemoveObserver(libraryObserver);
    else
        raw.close();
    if (!acknowledged || arrivals.damaged != 0 || arrivals.times.size() != copies) {
        std::printf("  %s: %zu of %lu arrived, %lu damaged%s\n",
                    library ? "library" : "raw server", arrivals.times.size(), copies,
                    arrivals.damaged, acknowledged ? "" : ", not all acknowledged");
        return 0;
    }
    return arrivals.medianIntervalUs();
}

// A child process's share of the floods: count pairs after one to warm up,
// written to options.chunkFile a line each ("library raw", microseconds per
// notification). The phone runs already; the parent waits.
int runFloodChunk(const Options& options) {
    PhoneControl phone;
    const kestrova_test::StubbedHandOff stub;  // kestrovaAddObserver starts no process
    kestrova_test::RawClient raw;
    char rawName[32];
    std::snprintf(rawName, sizeof rawName, "KestrovaRaw.%08lX", GetCurrentProcessId());
    std::mt19937 random(static_cast<std::mt19937::result_type>(options.seed));
    FILE* out = std::fopen(options.chunkFile.c_str(), "w");
    if (!out || !stub.active() || !phone.connect()) return 1;
    for (unsigned long i = 0; i <= options.floods; ++i) {
        const bool libraryFirst = random() & 1;
        double per[2] = {};  // raw, library
        for (const bool library : {libraryFirst, !libraryFirst}) {
            per[library] = floodOnce(library, options.copies, phone, raw, rawName);
            if (per[library] <= 0) return 1;
        }
        if (i > 0) std::fprintf(out, "%.3f %.3f\n", per[1], per[0]);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

// Runs count flood pairs in a child process and adds them to pairs.
bool floodRoundInChild(const Options& options, unsigned long count, std::vector<Pair>* pairs) {
    char program[MAX_PATH];
    char directory[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, program, MAX_PATH) || !GetTempPathA(MAX_PATH, directory))
        return false;
    const std::string file = std::string(directory) + "kestrova-bench-floods.txt";
    const std::string commandLine = "\"" + std::string(program) + "\" \"--chunk=" + file +
                              "\" --floods=" + std::to_string(count) +
                              " --copies=" + std::to_string(options.copies) +
                              " --seed=" + std::to_string(options.seed + pairs->size());
    const HANDLE child = kestrova_test::startProcess(commandLine);
    if (!child) return false;
    const DWORD code = kestrova_test::waitForExit(child, 600000);
    if (code == STILL_ACTIVE) TerminateProcess(child, 1);
    CloseHandle(child);
    FILE* in = std::fopen(file.c_str(), "r");
    Pair pair{};
    const std::size_t before = pairs->size();
    while (in && std::fscanf(in, "%lf %lf", &pair.library, &pair.raw) == 2) pairs->push_back(pair);
    if (in) std::fclose(in);
    DeleteFileA(file.c_str());
    if (code != 0 || pairs->size() != before + count) {
        std::printf("  a round of floods failed (exit code %lu, %zu of %lu pairs)\n", code,
                    pairs->size() - before, count);
        return false;
    }
    return true;
}

bool measureNotifications(const Options& options, std::string* summary) {
    std::printf("Notifications: floods of %lu copies of %s to the library's observer service "
                "or to a raw DDEML server\n",
                options.copies, notificationText);
    std::vector<Pair> pairs;
    while (moreWanted(pairs, options.floods)) {
        if (!floodRoundInChild(options, floodRound, &pairs)) return false;
        const Estimate e = estimate(pairs);
        std::printf("  %zu pairs: median %.3fx, 95%% interval %.3fx to %.3fx\n", pairs.size(),
                    e.median, e.low, e.high);
    }
    *summary = report("notifications", pairs, "flood pairs");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) return 2;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (!options.chunkFile.empty()) return runFloodChunk(options);
    if (options.seed == 0) options.seed = GetTickCount();
    std::mt19937 random(static_cast<std::mt19937::result_type>(options.seed));

    if (kestrova_test::phoneExePath().empty()) {
        std::fprintf(stderr, "KESTROVA_PHONE_EXE is not set: run under wine-run with "
                             "KESTROVA_DIAL_HANDLER (scripts/bench-win32 does)\n");
        return 2;
    }
    const HANDLE process = kestrova_test::startPhone();
    PhoneControl phone;
    if (!process || !phone.connect()) {
        std::fprintf(stderr, "the phone simulator did not start\n");
        return 1;
    }
    std::printf("KestrovaAPI call paths, %s: %zu-bit DLL and benchmark, 32-bit phone simulator; "
                "order seed %lu\n",
                buildName(), 8 * sizeof(void*), options.seed);

    std::string commands, notifications;
    DWORD start = GetTickCount();
    bool ok = measureCommands(options, phone, random, &commands);
    kestrovaRemoveObserver(nullptr);  // closes the link: the floods run in other processes
    std::printf("  (%lu s)\n", (GetTickCount() - start) / 1000);
    start = GetTickCount();
    ok = measureNotifications(options, &notifications) && ok;
    std::printf("  (%lu s)\n", (GetTickCount() - start) / 1000);

    phone.exitPhone();
    if (kestrova_test::waitForExit(process, 10000) == STILL_ACTIVE) TerminateProcess(process, 1);
    CloseHandle(process);
    for (const std::string& line : {commands, notifications})
        if (!line.empty()) std::printf("%s\n", line.c_str());
    std::printf(ok ? "done\n" : "FAILED\n");
    return ok ? 0 : 1;
}
