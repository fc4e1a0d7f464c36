// Dialling: compose a vCard 2.1 card, write it to the hand-off file in the
// temporary directory and ask the shell to perform "dial" on it.

#include "dial_handoff.h"

#include <cstring>

#include "KestrovaAPI.h"
#include "heap.h"
#include "platform.h"
#include "text_compose.h"

namespace {

// Appended to the temporary directory as reported, which already ends in a
// separator: the doubled separator is harmless and the path is used as is.
constexpr char handoffFileName[] = "\\kestrova.vcf";
constexpr uint32_t handoffFileNameSize = sizeof handoffFileName;  // 14, with terminator

// The dial card is these three pieces with the name after the first and the
// number after the second.
constexpr char dialCardHead[] = "BEGIN:VCARD\nVERSION:2.1\nN:;";
constexpr char dialCardMiddle[] = "\nTEL;WORK;VOICE:";
constexpr char dialCardTail[] = "\nEND:VCARD\n";
constexpr int32_t dialCardSize = 1024;  // room for 969 characters of name and number

// Shell results of 32 or less are the shell's own error codes.
constexpr int32_t lastShellError = 32;

// How long after a dial hand-off its card may still be unread. The shell
// returns once it has started the handler, which reads the file only when
// its process is up: tens of milliseconds for a small handler, seconds for a
// phone application's cold start on a busy machine, while integrators retry
// their first request. A placeholder hand-off in that time would replace the
// dialled card and lose the call. Skipping it costs next to nothing: the dial
// has just started the phone application, which is all the placeholder does,
// and nothing waits for that start. The one cost: a phone application that
// quits within this time is started again only by a request after it.
constexpr uint32_t dialCardUnreadMs = 10000;

// Writes the card to the hand-off file at path.
int32_t writeHandoffFile(const char* path, const char* card, int32_t length) {
    PlatformFile* file = platformOpenText(path);
    if (!file) return KESTROVA_NO_FILE;
    const int32_t written = platformWrite(file, card, length);
    const bool stored = platformClose(file);
    return written < length || !stored ? KESTROVA_FAILED : KESTROVA_OK;
}

int32_t dialResult(int32_t shellResult) {
    return shellResult <= lastShellError ? shellResult : KESTROVA_OK;
}

// Any thread may dial: the fields are read and written atomically, so that a
// call on another thread sees either window whole (the public header still
// asks for one call at a time).
void openDialCardWindow() {
    __atomic_store_n(&dialCardWindow.openedAtMs, platformMilliseconds(), __ATOMIC_RELAXED);
    __atomic_store_n(&dialCardWindow.open, true, __ATOMIC_RELEASE);
}

// Once seen to have passed, the window is closed for good: the clock wraps
// around after 49.7 days and must not reopen it.
bool dialCardMayBeUnread() {
    if (!__atomic_load_n(&dialCardWindow.open, __ATOMIC_ACQUIRE)) return false;
    const uint32_t elapsed =
        platformMilliseconds() - __atomic_load_n(&dialCardWindow.openedAtMs, __ATOMIC_RELAXED);
    if (elapsed < dialCardUnreadMs) return true;
    __atomic_store_n(&dialCardWindow.open, false, __ATOMIC_RELAXED);
    return false;
}

}  // namespace

DialCardWindow dialCardWindow;

int32_t launchVcard(const char* card, int32_t length, bool* shellAccepted) {
    if (shellAccepted) *shellAccepted = false;
    const uint32_t directoryLength = platformTempPath(0, nullptr);  // counts the terminator
    if (directoryLength == 0) return KESTROVA_FAILED;

    const uint32_t pathSize = directoryLength + handoffFileNameSize;
    if (pathSize < directoryLength) return KESTROVA_NO_RESOURCE;  // wrapped around
    char* path = static_cast<char*>(heapTake(pathSize));
    if (!path) return KESTROVA_NO_RESOURCE;

    // A second fetch can report a longer directory than the first if it
    // changed in between; then the buffer holds no usable path.
    const uint32_t fetched = platformTempPath(directoryLength, path);
    if (fetched == 0 || fetched >= directoryLength) {
        heapRelease(path);
        return KESTROVA_NO_RESOURCE;
    }
    std::memcpy(path + fetched, handoffFileName, handoffFileNameSize);

    int32_t result = writeHandoffFile(path, card, length);
    if (result == KESTROVA_OK) {
        const int32_t shellResult = platformShellDial(path);
        if (shellAccepted) *shellAccepted = shellResult > lastShellError;
        result = dialResult(shellResult);
    }
    heapRelease(path);
    return result;
}

int32_t handOverDialCard(const char* name, const char* number) {
    char card[dialCardSize];
    int32_t length = appendText(card, dialCardSize, 0, dialCardHead);
    length = appendText(card, dialCardSize, length, name ? name : "");
    length = appendText(card, dialCardSize, length, dialCardMiddle);
    length = appendText(card, dialCardSize, length, number ? number : "");
    length = appendText(card, dialCardSize, length, dialCardTail);
    // A cut card would dial a wrong number: refuse instead.
    if (length < 0) return KESTROVA_FAILED;
    bool handedOver = false;
    const int32_t result = launchVcard(card, length, &handedOver);
    if (handedOver) openDialCardWindow();
    return result;
}

int32_t handOverPlaceholder() {
    // Right after a dial, the placeholder would only overwrite its card.
    if (dialCardMayBeUnread()) return KESTROVA_OK;
    return launchVcard(placeholderCard, placeholderCardLength);
}
