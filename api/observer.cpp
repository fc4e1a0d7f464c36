// Subscribing to and unsubscribing from the phone application's
// notifications.

#include <cstdio>

#include "link.h"

namespace {

constexpr char subscribeFormat[] = "[subscribe(\"%s\")]";
constexpr int subscribeCommandSize = 60;  // the command is 40 characters

}  // namespace

extern "C" int KESTROVA_CALL kestrovaAddObserver(ObserverCallback observer) {
    int32_t result = openLinkToPhone();
    if (result != KESTROVA_OK) return result;

    char command[subscribeCommandSize];
    const int length =
        std::snprintf(command, sizeof command, subscribeFormat, linkState.observerServiceName);
    result = executeCommand(command, length);
    if (result == KESTROVA_OK) linkState.observer = observer;
    return result;
}

extern "C" int KESTROVA_CALL kestrovaRemoveObserver(ObserverCallback observer) {
    if (observer != linkState.observer) return KESTROVA_FAILED;
    linkState.observer = nullptr;
    return closeLink();
}
