// Tests of the notification parser: which tokens a text yields, when it is
// refused, and that nothing stays allocated when it is.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "heap.h"
#include "notification_parser.h"
#include "checked_parse.h"
#include "platform_double.h"

namespace {

using Tokens = std::vector<std::string>;

struct Outcome {
    int32_t result = 0;
    Tokens tokens;
    bool failureReached = false;
};

// Parses text with allocation number failing failing (0: none), reporting
// every promise the parse broke as a test failure.
Outcome parse(const std::string& text, int failing = 0) {
    const CheckedParse checked = parseAndCheck(text, failing);
    for (const std::string& promise : checked.broken) ADD_FAILURE() << promise << ": " << text;
    return {checked.result, checked.tokens, checked.failureReached};
}

class NotificationParser : public ::testing::Test {
protected:
    void SetUp() override { resetPlatformDouble(); }
};

// ---------------------------------------------------------------------------
// What a text yields

struct Case {
    const char* label;
    std::string text;
    int32_t result;
    Tokens tokens;  // empty when the parse fails
    int blocks = 0;  // a failing text: the blocks taken before it failed
};

// What a failing case shows: its label and the start of its text.
std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << c.label << ": " << c.text.substr(0, 40) << (c.text.size() > 40 ? "..." : "");
}

class Grammar : public NotificationParser, public ::testing::WithParamInterface<Case> {};

TEST_P(Grammar, YieldsExpectedTokens) {
    const Case& c = GetParam();
    const Outcome outcome = parse(c.text);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.tokens, c.tokens);
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) { return info.param.label; }

// Brackets come off only as a pair, and only once.
INSTANTIATE_TEST_SUITE_P(Brackets, Grammar, ::testing::Values(
    Case{"Bracketed", "[f(a)]", 0, {"f", "a"}},
    Case{"Bare", "f(a)", 0, {"f", "a"}},
    Case{"OpeningOnlyStaysInName", "[f(a)", 0, {"[f", "a"}},
    Case{"ClosingOnlyIgnoredAfterList", "f(a)]", 0, {"f", "a"}},
    Case{"LoneOpeningBracket", "[", 0, {"["}},
    Case{"LoneClosingBracket", "]", 0, {"]"}},
    Case{"EmptyPair", "[]", -1, {}},
    Case{"EmptyText", "", -1, {}},
    Case{"NestedPairStrippedOnce", "[[x]]", 0, {"[x]"}},
    Case{"ClosingNotLast", "[f(a)] ", 0, {"[f", "a"}},
    Case{"SpaceBeforeOpening", " [f(a)]", 0, {" [f", "a"}}),
    caseName);

// The name runs to the first "("; without one, or with one first, the
// whole stripped text is the only token.
INSTANTIATE_TEST_SUITE_P(Name, Grammar, ::testing::Values(
    Case{"NameOnly", "[f]", 0, {"f"}},
    Case{"NameOnlyUnbracketed", "abc", 0, {"abc"}},
    Case{"OpeningFirst", "(abc)", 0, {"(abc)"}},
    Case{"OpeningFirstInsideBrackets", "[(a,b)]", 0, {"(a,b)"}},
    Case{"NameKeepsSpaces", "[ f g (a)]", 0, {" f g ", "a"}},
    Case{"NameKeepsCommasAndQuotes", "[a,\"b)(c)]", 0, {"a,\"b)", "c"}},
    Case{"EmptyList", "[f()]", 0, {"f"}},
    Case{"HighBytes", "[\xE9t\xE9(\xFF,\x80)]", 0, {"\xE9t\xE9", "\xFF", "\x80"}},
    Case{"LongestTextIsOneName", std::string(1023, 'n'), 0, {std::string(1023, 'n')}}),
    caseName);

// Plain arguments run to "," or ")"; empty ones are dropped, spaces kept.
INSTANTIATE_TEST_SUITE_P(PlainArguments, Grammar, ::testing::Values(
    Case{"Two", "[f(a,b)]", 0, {"f", "a", "b"}},
    Case{"Several", "[call(1,22,333,4444)]", 0, {"call", "1", "22", "333", "4444"}},
    Case{"EmptyBetween", "[f(a,,b)]", 0, {"f", "a", "b"}},
    Case{"EmptyFirst", "[f(,a)]", 0, {"f", "a"}},
    Case{"EmptyLast", "[f(a,)]", 0, {"f", "a"}},
    Case{"OnlyEmpties", "[f(,,,)]", 0, {"f"}},
    Case{"LeadingSpaceKept", "[f(a, b)]", 0, {"f", "a", " b"}},
    Case{"SpaceOnlyArgument", "[f( )]", 0, {"f", " "}},
    Case{"OpeningInsideArgument", "[f(g(a))]", 0, {"f", "g(a"}},
    Case{"QuoteInsideArgument", "[f(a\"b)]", 0, {"f", "a\"b"}},
    Case{"TextAfterListIgnored", "[f(a)xyz]", 0, {"f", "a"}},
    Case{"SecondListIgnored", "[f(a)g(b)]", 0, {"f", "a"}},
    Case{"BracketsInsideArgument", "[f([a])]", 0, {"f", "[a]"}}),
    caseName);

// A quoted argument holds "," and ")"; it must be followed by "," or ")".
// A quote directly followed by another is an ordinary character.
INSTANTIATE_TEST_SUITE_P(QuotedArguments, Grammar, ::testing::Values(
    Case{"HoldsSeparators", "[f(\"a,b)c\")]", 0, {"f", "a,b)c"}},
    Case{"ThenPlain", "[f(\"a\",b)]", 0, {"f", "a", "b"}},
    Case{"AfterPlain", "[f(a,\"b\")]", 0, {"f", "a", "b"}},
    Case{"KeepsSpaces", "[f(\" a \")]", 0, {"f", " a "}},
    Case{"HoldsClosingBracket", "[f(\"]\")]", 0, {"f", "]"}},
    Case{"OnlyAClosingParen", "[f(\")\")]", 0, {"f", ")"}},
    Case{"EmptyPairIsPlain", "[f(\"\",x)]", 0, {"f", "\"\"", "x"}},
    Case{"EmptyPairAlone", "[f(\"\")]", 0, {"f", "\"\""}},
    Case{"SpaceBeforeQuoteMakesItPlain", "[f( \"a\")]", 0, {"f", " \"a\""}},
    Case{"TextAfterListIgnored", "[f(\"a\")xyz]", 0, {"f", "a"}},
    Case{"FollowedByText", "[f(\"a\"b)]", -1, {}},
    Case{"FollowedBySpace", "[f(\"a\" ,b)]", -1, {}},
    Case{"FollowedByQuote", "[f(\"a\"\",b)]", -1, {}},
    Case{"NeverClosed", "[f(\"a]", -1, {}},
    Case{"NeverClosedBeforeZeroByte", std::string("[f(\"a]\0)", 8), -1, {}},  // ")" is not text
    Case{"NeverClosedBeforeParen", "[f(\")]", -1, {}}),
    caseName);

// Searches run to the end of the whole text, past a stripped "]": a list
// left open takes the "]" into its last argument and then lacks its ")".
INSTANTIATE_TEST_SUITE_P(Malformed, Grammar, ::testing::Values(
    Case{"ListNotClosed", "[f(a]", -1, {}},
    Case{"ListNotClosedAfterComma", "[f(a,]", -1, {}},
    Case{"ListNotOpenedFurther", "[f(]", -1, {}},
    Case{"UnbracketedNotClosed", "f(a", -1, {}},
    Case{"UnbracketedEndsAtOpening", "f(", -1, {}},
    Case{"UnbracketedEndsAtComma", "f(a,", -1, {}},
    Case{"ManyArgumentsNotClosed", "[f(a,b,c,\"d\",e]", -1, {}}),
    caseName);

// ---------------------------------------------------------------------------
// The token limit

// "a1,a2,...,an"
std::string arguments(int n) {
    std::string list;
    for (int i = 1; i <= n; ++i) {
        if (i > 1) list += ',';
        list += 'a' + std::to_string(i);
    }
    return list;
}

// What "[f(a1,...,an)]" yields: f, a1 ... an.
Tokens argumentTokens(int n) {
    Tokens tokens{"f"};
    for (int i = 1; i <= n; ++i) tokens.push_back("a" + std::to_string(i));
    return tokens;
}

INSTANTIATE_TEST_SUITE_P(TokenLimit, Grammar, ::testing::Values(
    Case{"NinetyNine", "[f(" + arguments(98) + ")]", 0, argumentTokens(98)},
    Case{"Hundred", "[f(" + arguments(99) + ")]", 0, argumentTokens(99)},
    Case{"HundredAndOne", "[f(" + arguments(100) + ")]", -1, {}},
    Case{"HundredAndOneQuoted", "[f(" + arguments(99) + ",\"x\")]", -1, {}},
    Case{"FarBeyond", "[f(" + arguments(300) + ")]", -1, {}},
    Case{"DroppedEmptiesDoNotCount", "[f(" + arguments(99) + ",,,)]", 0, argumentTokens(99)},
    Case{"HundredButNotClosed", "[f(" + arguments(99) + "]", -1, {}}),
    caseName);

// ---------------------------------------------------------------------------
// Running out of memory

class MemoryFailure : public NotificationParser, public ::testing::WithParamInterface<Case> {};

// Fails each allocation in turn: every such parse fails with nothing left
// live, and once the failure falls beyond the parse it succeeds in full.
TEST_P(MemoryFailure, AtEveryAllocationReleasesEverything) {
    const Case& c = GetParam();
    int failing = 1;
    for (;; ++failing) {
        ASSERT_LE(failing, 2 * TokenVector::capacity) << "never succeeded";
        const Outcome outcome = parse(c.text, failing);
        if (!outcome.failureReached) {
            EXPECT_EQ(outcome.result, c.result);
            EXPECT_EQ(outcome.tokens, c.tokens);
            break;
        }
        EXPECT_EQ(outcome.result, -1) << "allocation " << failing;
    }
    // One block per token and nothing else: the parse failed at each of them.
    EXPECT_EQ(failing - 1, c.result == 0 ? static_cast<int>(c.tokens.size()) : c.blocks);
}

INSTANTIATE_TEST_SUITE_P(Texts, MemoryFailure, ::testing::Values(
    Case{"NameOnly", "[f]", 0, {"f"}},
    Case{"WholeText", "(abc)", 0, {"(abc)"}},
    Case{"PlainAndQuoted", "[f(a,\"b,c\",,d)]", 0, {"f", "a", "b,c", "d"}},
    Case{"MalformedAfterTokens", "[f(a,b,\"c\"x)]", -1, {}, 4},
    Case{"HundredTokens", "[f(" + arguments(99) + ")]", 0, argumentTokens(99)}),
    caseName);

// ---------------------------------------------------------------------------
// copyRun

TEST_F(NotificationParser, CopyRunTerminatesTheRun) {
    const char source[] = "abcdef";
    struct {
        int32_t length;
        const char* expected;
    } const runs[] = {{0, ""}, {1, "a"}, {3, "abc"}, {6, "abcdef"}};
    for (const auto& run : runs) {
        char* copy = copyRun(run.length, source);
        ASSERT_NE(copy, nullptr);
        EXPECT_STREQ(copy, run.expected);
        EXPECT_EQ(platformDouble().liveBlocks, 1);  // a heap block of its own
        heapRelease(copy);
    }
    EXPECT_EQ(platformDouble().liveBlocks, 0);
}

TEST_F(NotificationParser, CopyRunReportsMissingMemory) {
    platformDouble().failCall(1);
    EXPECT_EQ(copyRun(3, "abc"), nullptr);
    EXPECT_EQ(platformDouble().liveBlocks, 0);
}

}  // namespace
