// Hands a vCard to the phone application through the shell's "dial" verb.
// Knows nothing of the link (see docs/design.md).
#pragma once

#include <cstdint>

// The placeholder card that starts the phone application without dialling.
inline constexpr char placeholderCard[] =
    "BEGIN:VCARD\nVERSION:2.1\nN:;0\nTEL;WORK;VOICE:0\nEND:VCARD\n";
inline constexpr int32_t placeholderCardLength = sizeof placeholderCard - 1;  // 56

// Writes length characters of card to the hand-off file in the temporary
// directory (text mode, so line feeds land as CR LF) and performs the shell's
// "dial" verb on it. Returns 0, -1, -2, -3 or the shell's error (1 .. 32).
// If shellAccepted is given, it tells whether the shell took the file over
// (its result above 32), which a result of 0 alone does not.
int32_t launchVcard(const char* card, int32_t length, bool* shellAccepted = nullptr);

// The dial card of name and number (absent ones read as empty) handed
// over; -1 when the two do not fit the card. Opens the dial card window if
// the shell took the card over.
int32_t handOverDialCard(const char* name, const char* number);
// The placeholder card handed over to start the phone application, or
// nothing (0) while a dial card may still be unread.
int32_t handOverPlaceholder();

// When a dial card was last handed over: while it may still be unread, the
// placeholder hand-off leaves the file alone. Opened by handOverDialCard,
// read and closed by handOverPlaceholder, on whichever thread calls them.
struct DialCardWindow {
    uint32_t openedAtMs;  // platformMilliseconds() at the hand-off
    bool open;
};

// All zero (closed) at load.
extern DialCardWindow dialCardWindow;
