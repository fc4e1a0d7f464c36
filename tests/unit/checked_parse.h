// Runs the notification parser and checks the promises every parse keeps,
// whatever the text: the table is never written past its capacity, a failed
// parse leaves the count alone and nothing allocated, a successful one holds
// 1 to 100 tokens, and releasing them frees every block. Shared by the unit
// tests and the fuzzer, which report broken promises each in its own way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notification_parser.h"
#include "platform_double.h"

struct CheckedParse {
    int32_t result = 0;
    std::vector<std::string> tokens;  // empty when the parse failed
    std::vector<std::string> broken;  // the promises the parse did not keep
    bool failureReached = false;      // the allocation meant to fail was asked for
};

namespace checked_parse_detail {

constexpr int32_t untouched = -7;  // a count no parse can write

// The table with guard slots right behind it, so that a write past its
// capacity is seen even though it stays inside this object.
struct GuardedTable {
    TokenVector tokens;
    char* guard[4];
};
static_assert(offsetof(GuardedTable, guard) == sizeof(TokenVector),
              "the guard must follow the table directly");

inline char guardMark;

}  // namespace checked_parse_detail

// Parses text with the fallible call numbered failingAllocation failing (0:
// none); everything is released again before returning.
inline CheckedParse parseAndCheck(const std::string& text, int failingAllocation = 0) {
    using namespace checked_parse_detail;
    auto table = std::make_unique<GuardedTable>();
    table->tokens.count = untouched;
    for (char*& slot : table->guard) slot = &guardMark;
    PlatformDouble& heap = platformDouble();
    const int liveBefore = heap.liveBlocks;
    heap.failCall(failingAllocation);

    CheckedParse parse;
    parse.result = parseNotification(text.c_str(), &table->tokens);
    parse.failureReached = heap.faultInjected();
    heap.failCall(0);
    auto expect = [&](bool kept, const char* promise) {
        if (!kept) parse.broken.emplace_back(promise);
    };
    for (char* slot : table->guard) expect(slot == &guardMark, "written past the table");
    if (parse.result != 0) {
        expect(parse.result == -1, "a failure is -1");
        expect(table->tokens.count == untouched, "count written by a failed parse");
        expect(heap.liveBlocks == liveBefore, "blocks left live by a failed parse");
        return parse;
    }
    const int32_t count = table->tokens.count;
    expect(count >= 1 && count <= TokenVector::capacity, "1 to 100 tokens");
    expect(heap.liveBlocks == liveBefore + count, "one block per token");
    for (int32_t i = 0; i < count && i < TokenVector::capacity; ++i)
        parse.tokens.emplace_back(table->tokens.slots[i]);
    releaseTokens(&table->tokens);
    expect(table->tokens.count == 0, "release resets the count");
    expect(heap.liveBlocks == liveBefore, "blocks left live after release");
    return parse;
}
