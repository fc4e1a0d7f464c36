// Dialling: compose a vCard 2.1 card, write it to the hand-off file in the
// temporary directory and ask the shell to perform "dial" on it.

#include "dial_handoff.h"

#include <cstring>

#include "KestrovaAPI.h"
#include "heap.h"
#include "link.h"
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

// Writes the card to the hand-off file at path.
int32_t writeHandoffFile(const char* path, const char* card, int32_t length) {
    PlatformFile* file = platformOpenText(path);
    if (!file) return KESTROVA_NO_FILE;
    const int32_t written = platformWrite(file, card, length);
    platformClose(file);
    return written < length ? KESTROVA_FAILED : KESTROVA_OK;
}

int32_t dialResult(int32_t shellResult) {
    return shellResult <= lastShellError ? shellResult : KESTROVA_OK;
}

}  // namespace

int32_t launchVcard(const char* card, int32_t length) {
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
    if (result == KESTROVA_OK) result = dialResult(platformShellDial(path));
    heapRelease(path);
    return result;
}

extern "C" int KESTROVA_CALL kestrovaDial(const char* name, const char* number) {
    closeLinkIfDue();
    char card[dialCardSize];
    int32_t length = appendText(card, dialCardSize, 0, dialCardHead);
    length = appendText(card, dialCardSize, length, name ? name : "");
    length = appendText(card, dialCardSize, length, dialCardMiddle);
    length = appendText(card, dialCardSize, length, number ? number : "");
    length = appendText(card, dialCardSize, length, dialCardTail);
    // A cut card would dial a wrong number: refuse instead.
    if (length < 0) return KESTROVA_FAILED;
    return launchVcard(card, length);
}

extern "C" int KESTROVA_CALL kestrovaStartup(void) {
    closeLinkIfDue();
    return launchVcard(placeholderCard, placeholderCardLength);
}
