// Subscribing to and unsubscribing from the phone application's
// notifications.

#include "link.h"
#include "text_compose.h"

namespace {

// "[subscribe(\"" + the observer service name + "\")]"
constexpr char subscribeHead[] = "[subscribe(\"";
constexpr char subscribeTail[] = "\")]";
constexpr int32_t subscribeCommandSize = 60;  // the command is 40 characters

int32_t subscribe(ObserverCallback observer) {
    char command[subscribeCommandSize];
    int32_t length = appendText(command, subscribeCommandSize, 0, subscribeHead);
    length = appendText(command, subscribeCommandSize, length, linkState.observerServiceName);
    length = appendText(command, subscribeCommandSize, length, subscribeTail);
    const int32_t result = executeCommand(command, length);
    if (result == KESTROVA_OK) {
        linkState.observer = observer;
        // Subscribed after a removal that is still waiting to close the
        // link: closing it now would withdraw the service just subscribed.
        linkState.closePending = false;
    }
    return result;
}

}  // namespace

extern "C" int KESTROVA_CALL kestrovaAddObserver(ObserverCallback observer) {
    int32_t result = openLinkToPhone();
    if (result == KESTROVA_OK) result = subscribe(observer);
    closeLinkIfDue();  // the observer may have removed itself during the wait
    return result;
}

extern "C" int KESTROVA_CALL kestrovaRemoveObserver(ObserverCallback observer) {
    // DDEML releases an instance only on its own thread. If that thread has
    // ended, DDEML ended with it and the link can only be forgotten.
    const bool foreign = linkOwnedElsewhere();
    if (foreign && !platformThreadEnded(linkOwner())) return KESTROVA_FAILED;
    // A close put off by an observer that removed itself is done whatever
    // the callback: the caller may be about to unload the library.
    if (foreign && linkState.closePending) forgetLink();
    closeLinkIfDue();
    if (observer != linkState.observer) return KESTROVA_FAILED;
    linkState.observer = nullptr;
    if (foreign) {
        forgetLink();
        return KESTROVA_OK;
    }
    return requestLinkClose();
}
