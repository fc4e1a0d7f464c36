// Subscribing to and unsubscribing from the phone application's
// notifications.

#include "observer.h"

#include "link.h"
#include "text_compose.h"

namespace {

// "[subscribe(\"" + the observer service name + "\")]"
constexpr char subscribeHead[] = "[subscribe(\"";
constexpr char subscribeTail[] = "\")]";
constexpr int32_t subscribeCommandSize = 60;  // the command is 40 characters

}  // namespace

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

int32_t removeObserver(ObserverCallback observer) {
    if (observer != linkState.observer) return KESTROVA_FAILED;
    linkState.observer = nullptr;
    return requestLinkClose();
}

int32_t removeObserverOfEndedThread(ObserverCallback observer) {
    // The caller may be about to unload the library.
    if (linkState.closePending) forgetLink();
    if (observer != linkState.observer) return KESTROVA_FAILED;
    linkState.observer = nullptr;
    forgetLink();
    return KESTROVA_OK;
}
