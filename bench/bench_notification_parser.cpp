// Benchmarks of the notification parser against a floor: the least any
// parser must do with the same text, which is to scan it to its terminator
// and copy each token into a heap string of its own, one heap block per
// token as the library's parser makes. The floor is measured in the same
// run, on the same heap, with the token places worked out beforehand. Run
// with repetitions in random interleaving, each repetition of the parser is
// paired with the same repetition of the floor; the median of those
// parser/floor ratios and its 95% interval are printed at the end.
//
// It runs on the host (the bench preset: clang, optimised, no sanitizers),
// against the in-memory platform, whose heap is glibc's malloc: the figures
// are those of the parser's own code on Linux, not of the DLL under Windows.
//
// Usage: bench_notification_parser [Google Benchmark flags], e.g.
//   --benchmark_repetitions=21 --benchmark_enable_random_interleaving=true

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "heap.h"
#include "notification_parser.h"
#include "paired_ratio.h"

namespace {

struct Place {
    std::size_t offset;
    std::size_t length;
};

struct Sample {
    const char* name;
    std::string text;
    std::vector<Place> places;  // where the parser's tokens lie in text
};

// About 60 bytes, four arguments, one of them quoted.
std::string typicalText() {
    return "[CallEvent(4,\"Mira Vance, Office\",+44 20 7946 0123,ringing)]";
}

// 1023 bytes, the most the link passes, with 98 arguments (99 tokens):
// a repeating mix of quoted, number-like and word arguments, the last one
// padded to reach the length exactly.
std::string longText() {
    const char* const kinds[] = {"\"Rm 12, East\"", "+44207946012", "ringing", "1234"};
    const std::string head = "[ContactList(";
    const std::string tail = ")]";
    std::string list;
    for (int i = 0; i < 98; ++i) {
        if (i > 0) list += ',';
        list += kinds[i % 4];
    }
    const std::size_t want = 1023 - head.size() - tail.size();
    if (list.size() > want) {
        std::fprintf(stderr, "long sample: %zu bytes of arguments, room for %zu\n", list.size(),
                     want);
        std::exit(1);
    }
    list.append(want - list.size(), '9');  // lengthens the last, number-like argument
    return head + list + tail;
}

// Parses text once and finds where each token lies: tokens are runs of the
// text in order, so the leftmost match after the previous one is the place.
Sample makeSample(const char* name, std::string text) {
    Sample sample{name, std::move(text), {}};
    TokenVector tokens;
    if (parseNotification(sample.text.c_str(), &tokens) != 0) {
        std::fprintf(stderr, "%s sample does not parse\n", name);
        std::exit(1);
    }
    std::size_t from = 0;
    for (int32_t i = 0; i < tokens.count; ++i) {
        const std::size_t length = std::strlen(tokens.slots[i]);
        const std::size_t at = sample.text.find(tokens.slots[i], from);
        sample.places.push_back({at, length});
        from = at + length;
    }
    releaseTokens(&tokens);
    return sample;
}

void addCounters(benchmark::State& state, const Sample& sample) {
    const auto bytes = static_cast<int64_t>(sample.text.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["tokens"] = static_cast<double>(sample.places.size());
    // Seconds per byte of text, shown with an SI prefix ("n" for ns).
    state.counters["per_byte"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

void parser(benchmark::State& state, const Sample* sample) {
    const char* text = sample->text.c_str();
    TokenVector tokens;
    for (auto _ : state) {
        benchmark::DoNotOptimize(text);
        if (parseNotification(text, &tokens) != 0) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(tokens.slots[0]);
        releaseTokens(&tokens);
    }
    addCounters(state, *sample);
}

void floorCost(benchmark::State& state, const Sample* sample) {
    const char* text = sample->text.c_str();
    const Place* places = sample->places.data();
    const std::size_t count = sample->places.size();
    char* copies[TokenVector::capacity];
    for (auto _ : state) {
        benchmark::DoNotOptimize(text);
        std::size_t length = std::strlen(text);
        benchmark::DoNotOptimize(length);
        for (std::size_t i = 0; i < count; ++i) {
            char* copy = static_cast<char*>(heapTake(places[i].length + 1));
            std::memcpy(copy, text + places[i].offset, places[i].length);
            copy[places[i].length] = '\0';
            copies[i] = copy;
        }
        benchmark::DoNotOptimize(copies);
        benchmark::ClobberMemory();
        for (std::size_t i = 0; i < count; ++i) heapRelease(copies[i]);
    }
    addCounters(state, *sample);
}

// Each benchmark's CPU time per iteration, one figure a repetition, kept for
// the closing summary; the console shows the aggregates only when there are
// repetitions. CPU time rather than wall time, so that a busy machine taking
// the processor away does not count against either.
class CapturingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                times_[run.run_name.str()].push_back(run.GetAdjustedCPUTime() *
                                                     scaleToNs(run.time_unit));
            if (run.run_type == Run::RT_Aggregate || runs.size() == 1) shown.push_back(run);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    // Nanoseconds per iteration of the named benchmark, a figure a
    // repetition in the order they ran.
    const std::vector<double>& nanoseconds(const std::string& name) { return times_[name]; }

private:
    static double scaleToNs(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond: return 1e9;
            case benchmark::kMillisecond: return 1e6;
            case benchmark::kMicrosecond: return 1e3;
            case benchmark::kNanosecond: return 1;
        }
        return 1;
    }

    std::map<std::string, std::vector<double>> times_;
};

double median(std::vector<double> values) {
    return estimateRatios(std::move(values)).median;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Sample> samples{makeSample("typical", typicalText()),
                                      makeSample("long", longText())};
    for (const Sample& sample : samples) {
        const std::string name = sample.name;
        benchmark::RegisterBenchmark(("parser/" + name).c_str(), parser, &sample)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark(("floor/" + name).c_str(), floorCost, &sample)
            ->Unit(benchmark::kNanosecond);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nparser against floor (scan to terminator + one heap copy per token, glibc's "
                "malloc), CPU time; repetition i of the parser paired with repetition i of the "
                "floor:\n");
    for (const Sample& sample : samples) {
        const std::vector<double>& parsed = reporter.nanoseconds(std::string("parser/") + sample.name);
        const std::vector<double>& floor = reporter.nanoseconds(std::string("floor/") + sample.name);
        if (parsed.empty() || parsed.size() != floor.size()) continue;
        std::vector<double> ratios;
        for (std::size_t i = 0; i < parsed.size(); ++i) ratios.push_back(parsed[i] / floor[i]);
        const RatioEstimate ratio = estimateRatios(ratios);
        const double bytes = static_cast<double>(sample.text.size());
        std::printf("%s: %zu bytes, %zu tokens: parser %.1f ns (%.3f ns/byte), floor %.1f ns "
                    "(%.3f ns/byte) (medians); parser/floor median %.2fx, 95%% interval %.2fx to "
                    "%.2fx over %zu pairs\n",
                    sample.name, sample.text.size(), sample.places.size(), median(parsed),
                    median(parsed) / bytes, median(floor), median(floor) / bytes, ratio.median,
                    ratio.low, ratio.high, ratio.pairs);
    }
    return 0;
}
