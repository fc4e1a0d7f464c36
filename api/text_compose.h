// Composes the library's few texts (the dial card, the observer service name,
// the subscribe command) into fixed buffers without a general formatter: the
// DLL carries no printf and no locale code for two fixed shapes.
#pragma once

#include <cstdint>

// Appends text at position at of out, which holds size bytes, and terminates
// it. Returns the new length, or -1 when the text does not fit with its
// terminator or at is already -1, so that calls chain and fail as one. Reads
// no further into text than out has room for.
inline int32_t appendText(char* out, int32_t size, int32_t at, const char* text) {
    if (at < 0) return -1;
    for (; *text != '\0'; ++text) {
        if (at + 1 >= size) return -1;
        out[at++] = *text;
    }
    if (at >= size) return -1;
    out[at] = '\0';
    return at;
}

// Appends value as exactly eight upper-case hexadecimal digits.
inline int32_t appendHex8(char* out, int32_t size, int32_t at, uint32_t value) {
    constexpr char digits[] = "0123456789ABCDEF";
    char hex[9];
    for (int i = 7; i >= 0; --i, value >>= 4) hex[i] = digits[value & 0xF];
    hex[8] = '\0';
    return appendText(out, size, at, hex);
}
