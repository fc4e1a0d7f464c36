// Hands a vCard to the phone application through the shell's "dial" verb.
#pragma once

#include <cstdint>

// The placeholder card that starts the phone application without dialling.
inline constexpr char placeholderCard[] =
    "BEGIN:VCARD\nVERSION:2.1\nN:;0\nTEL;WORK;VOICE:0\nEND:VCARD\n";
inline constexpr int32_t placeholderCardLength = sizeof placeholderCard - 1;  // 56

// Writes length characters of card to the hand-off file in the temporary
// directory (text mode, so line feeds land as CR LF) and performs the shell's
// "dial" verb on it. Returns 0, -1, -2, -3 or the shell's error (1 .. 32).
int32_t launchVcard(const char* card, int32_t length);
