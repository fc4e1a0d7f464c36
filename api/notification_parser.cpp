// The notification grammar: [name(arg,"quoted arg",...)]
//
// Brackets are stripped only as a pair. The name runs to the first "(";
// without one the whole text is the name. Arguments are separated by ",";
// empty plain arguments are dropped. A quoted argument may hold "," and ")"
// but no double quote, and must be followed by "," or ")". The list must end
// at ")"; what follows it is ignored. Spaces are ordinary characters.
//
// Every search runs to the text's terminator, not to the stripped end, so a
// plain argument can take in the stripped "]"; such text then lacks its ")"
// and fails.

#include "notification_parser.h"

#include <cstring>

#include "heap.h"

namespace {

// Appends length characters at start as the next token. False when the
// table is full or memory runs out.
bool addToken(TokenVector* tokens, int32_t* made, const char* start, int32_t length) {
    if (*made == TokenVector::capacity) return false;
    char* copy = copyRun(length, start);
    if (!copy) return false;
    tokens->slots[(*made)++] = copy;
    return true;
}

int32_t fail(TokenVector* tokens, int32_t made) {
    for (int32_t i = 0; i < made; ++i) heapRelease(tokens->slots[i]);
    return -1;
}

int32_t succeed(TokenVector* tokens, int32_t made) {
    tokens->count = made;
    return 0;
}

int32_t span(const char* from, const char* stops) {
    return static_cast<int32_t>(std::strcspn(from, stops));
}

}  // namespace

char* copyRun(int32_t length, const char* start) {
    char* copy = static_cast<char*>(heapTake(static_cast<std::size_t>(length) + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, start, static_cast<std::size_t>(length));
    copy[length] = '\0';
    return copy;
}

int32_t parseNotification(const char* text, TokenVector* tokens) {
    const char* s = text;
    const char* e = text + std::strlen(text);
    if (e > s && *s == '[' && e[-1] == ']') {
        ++s;
        --e;
    }
    if (e <= s) return -1;

    int32_t made = 0;
    const int32_t nameLength = span(s, "(");
    if (nameLength == 0 || s + nameLength >= e) {
        return addToken(tokens, &made, s, static_cast<int32_t>(e - s)) ? succeed(tokens, made)
                                                                        : fail(tokens, made);
    }
    if (!addToken(tokens, &made, s, nameLength)) return fail(tokens, made);

    const char* p = s + nameLength + 1;
    while (p < e) {
        const int32_t quoted = *p == '"' ? span(p + 1, "\"") : 0;
        if (quoted != 0) {
            if (p[1 + quoted] != '"') return fail(tokens, made);  // never closed
            if (!addToken(tokens, &made, p + 1, quoted)) return fail(tokens, made);
            p += quoted + 2;
        } else {
            // Also an opening quote directly followed by another quote or by
            // the end: it is then an ordinary character.
            const int32_t plain = span(p, ",)");
            if (plain != 0 && !addToken(tokens, &made, p, plain)) return fail(tokens, made);
            p += plain;
        }
        if (*p != ',') break;
        ++p;
    }
    return *p == ')' ? succeed(tokens, made) : fail(tokens, made);
}

void releaseTokens(TokenVector* tokens) {
    for (int32_t i = 0; i < tokens->count; ++i) heapRelease(tokens->slots[i]);
    tokens->count = 0;
}
