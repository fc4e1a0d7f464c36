// The six exported functions, each the steps it takes: turn away a call
// that may not use the link now, finish a close that was put off, then its
// stages. Nothing inside the library calls them (see docs/design.md).

#include "KestrovaAPI.h"
#include "dial_handoff.h"
#include "link.h"
#include "observer.h"

namespace {

constexpr char hookOffCommand[] = "[hookoff()]";
constexpr char hangUpCommand[] = "[hangup()]";

// The stages every request to the phone begins with: make sure the phone
// application runs, then that the conversation exists.
//
// The placeholder card that starts the phone application is handed over
// only when it does not answer. Handed to one that runs, it would start a
// process of its that reads the hand-off file once it is up, perhaps after
// a dial made at once rewrote the file, and so place that call twice. A
// conversation whose partner went is kept: the card starts the phone
// application again, and the request fails until the link is closed.
int32_t startAndConnect() {
    if (linkConnected()) return phoneStillConnected() ? KESTROVA_OK : handOverPlaceholder();
    const bool linkMadeBefore = linkExists();
    const int32_t connected = connectToPhone();
    if (connected != KESTROVA_FAILED) return connected;  // answered, or no link could be made
    const int32_t handedOver = handOverPlaceholder();
    if (handedOver == KESTROVA_OK) return connectToPhone();
    if (!linkMadeBefore) closeLink();  // a failed hand-off leaves no link behind
    return handedOver;
}

// A request to the phone application: turned away at once if it may not
// use the link now, else its stages, the last one its own.
template <typename LastStage>
int32_t requestPhone(LastStage lastStage) {
    if (linkTurnsRequestAway()) return KESTROVA_FAILED;
    closeLinkIfDue();
    int32_t result = startAndConnect();
    if (result == KESTROVA_OK) result = lastStage();
    closeLinkIfDue();  // the observer may have removed itself during the wait
    return result;
}

}  // namespace

extern "C" int KESTROVA_CALL kestrovaDial(const char* name, const char* number) {
    closeLinkIfDue();
    return handOverDialCard(name, number);
}

extern "C" int KESTROVA_CALL kestrovaStartup(void) {
    closeLinkIfDue();
    return handOverPlaceholder();
}

extern "C" int KESTROVA_CALL kestrovaHookOff(void) {
    return requestPhone([] { return executeCommand(hookOffCommand, sizeof hookOffCommand - 1); });
}

extern "C" int KESTROVA_CALL kestrovaHangUp(void) {
    return requestPhone([] { return executeCommand(hangUpCommand, sizeof hangUpCommand - 1); });
}

extern "C" int KESTROVA_CALL kestrovaAddObserver(ObserverCallback observer) {
    return requestPhone([observer] { return subscribe(observer); });
}

extern "C" int KESTROVA_CALL kestrovaRemoveObserver(ObserverCallback observer) {
    if (linkOwnedByRunningThread()) return KESTROVA_FAILED;
    if (linkOwnedElsewhere()) return removeObserverOfEndedThread(observer);
    closeLinkIfDue();
    return removeObserver(observer);
}
