// Splits notification text - a name and a parenthesised, comma-separated
// argument list, usually inside square brackets - into tokens.
#pragma once

#include <cstdint>

struct TokenVector {
    static constexpr int32_t capacity = 100;  // the name and at most 99 arguments
    int32_t count;
    char* slots[capacity];  // heap strings; slot 0 is the name
};

// Returns a heap copy of the length characters at start, terminated; nullptr
// when no memory can be had.
char* copyRun(int32_t length, const char* start);

// Fills tokens from text and returns 0; the caller then releases each of the
// count slots with releaseTokens. Returns -1 for malformed text, for more
// than TokenVector::capacity tokens and when memory runs out; then nothing
// is left allocated and tokens->count is not written.
int32_t parseNotification(const char* text, TokenVector* tokens);

// Releases the count slots of a successful parse.
void releaseTokens(TokenVector* tokens);
