// libFuzzer target for the notification parser.
//
// Each input is used twice:
//  - as notification text, the way the link hands it over (cut at the first
//    zero byte, at most 1023 characters), checking what holds for any text:
//    tokens are in-order, non-overlapping runs of the text, the table and
//    the count are only written as promised, nothing leaks on failure, and
//    a parse that runs out of memory midway releases everything;
//  - as a list of tokens (split at zero bytes) formatted as
//    "[name(arg,...)]", which must parse back to exactly those tokens.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "checked_parse.h"
#include "notification_parser.h"
#include "platform_double.h"

namespace {

constexpr std::size_t longestText = 1023;  // what the link passes at most

using Tokens = std::vector<std::string>;

[[noreturn]] void failed(const char* what, const std::string& text) {
    std::fprintf(stderr, "notification parser: %s\n  text (%zu bytes): ", what, text.size());
    for (const unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02X", c);
    }
    std::fputc('\n', stderr);
    std::abort();
}

#define CHECK(condition, text) \
    do {                       \
        if (!(condition)) failed(#condition, text); \
    } while (0)

// Parses text with allocation number failing (0: none fails), stopping at
// the first promise the parse broke.
CheckedParse parseChecked(const std::string& text, int failing) {
    CheckedParse parse = parseAndCheck(text, failing);
    if (!parse.broken.empty()) failed(parse.broken.front().c_str(), text);
    return parse;
}

// What holds for the tokens of any successful parse.
void checkTokens(const std::string& text, const Tokens& tokens) {
    // Each token is a run of the text, after the previous one. Taking the
    // leftmost match each time finds such a placement whenever one exists.
    std::size_t from = 0;
    for (const std::string& token : tokens) {
        CHECK(!token.empty(), text);
        const std::size_t at = text.find(token, from);
        CHECK(at != std::string::npos, text);
        from = at + token.size();
    }
    if (tokens.size() < 2) return;
    // With arguments the name ends at the first "(", and an argument is
    // either quoted (no double quote in it) or plain (no "," or ")").
    CHECK(tokens[0].find('(') == std::string::npos, text);
    CHECK(text.find(tokens[0] + '(') != std::string::npos, text);
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const std::string& arg = tokens[i];
        CHECK(arg.find('"') == std::string::npos || arg.find_first_of(",)") == std::string::npos,
              text);
    }
}

void checkText(const std::string& text) {
    const CheckedParse outcome = parseChecked(text, 0);
    if (outcome.result != 0) return;
    checkTokens(text, outcome.tokens);

    // The same parse with one of its allocations failing: it fails and
    // releases what it had made. Which one fails follows from the text.
    const int tokens = static_cast<int>(outcome.tokens.size());
    const int failing = 1 + static_cast<int>(text.size() % static_cast<std::size_t>(tokens));
    CHECK(parseChecked(text, failing).result == -1, text);
}

// Builds "[name(arg,...)]" from the zero-separated pieces of data, together
// with the tokens it must parse to:
//  - the name is the first piece without its "(" characters; an empty name
//    makes the whole text between the brackets the only token;
//  - a piece that starts with a double quote, or holds "," or ")", becomes
//    a quoted argument: its quotes are dropped and it is put in quotes. An
//    empty quoted argument is the two-character token "";
//  - any other piece is a plain argument, kept as it is (it may hold a
//    double quote after its first character); an empty one is dropped;
//  - more than TokenVector::capacity tokens fail.
// Arguments stop before the text would exceed what the link passes.
void checkRoundTrip(const uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) pieces.emplace_back();
        else pieces.back() += static_cast<char>(data[i]);
    }

    std::string name;
    for (const char c : pieces[0])
        if (c != '(') name += c;
    const std::size_t framing = 4;  // "[", "(", ")]"
    if (name.size() > longestText - framing) name.resize(longestText - framing);

    Tokens expected{name};
    std::string list;
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        const bool marked = !piece.empty() && piece[0] == '"';
        std::string arg;
        std::string token;  // stays empty when the argument is dropped
        if (marked || piece.find_first_of(",)") != std::string::npos) {
            std::string body;
            for (const char c : piece)
                if (c != '"') body += c;
            arg = '"' + body + '"';
            token = body.empty() ? arg : body;
        } else {
            arg = token = piece;
        }
        const std::size_t separator = i > 1 ? 1 : 0;
        if (framing + name.size() + list.size() + separator + arg.size() > longestText) break;
        if (separator) list += ',';
        list += arg;
        if (!token.empty()) expected.push_back(token);
    }

    const std::string text = '[' + name + '(' + list + ")]";
    if (name.empty()) expected = Tokens{text.substr(1, text.size() - 2)};

    const CheckedParse outcome = parseChecked(text, 0);
    if (expected.size() > static_cast<std::size_t>(TokenVector::capacity)) {
        CHECK(outcome.result == -1, text);
        return;
    }
    CHECK(outcome.result == 0, text);
    CHECK(outcome.tokens == expected, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::size_t limit = size < longestText ? size : longestText;
    const auto* bytes = reinterpret_cast<const char*>(data);
    checkText(std::string(bytes, strnlen(bytes, limit)));
    checkRoundTrip(data, size);
    return 0;
}
