// Everything the link receives: connections to the observer service and the
// phone application's notifications.

#include <cstring>

#include "link.h"
#include "notification_parser.h"

namespace {

constexpr uint32_t notificationBufferSize = 1024;  // 1023 bytes of text and a terminator

// Reads the notification text into buffer. False when it is longer than
// 1023 bytes: a cut notification could parse as something the phone never
// said, so it is refused whole. Data ends at its own zero byte, if any.
bool readNotification(DdeData* data, char (&buffer)[notificationBufferSize]) {
    const uint32_t received = data ? ddeGetData(data, buffer, notificationBufferSize) : 0;
    if (received < notificationBufferSize) {
        buffer[received] = '\0';
        return true;
    }
    return std::memchr(buffer, '\0', notificationBufferSize) != nullptr;
}

uint32_t admitsConnection(DdeName* topic, DdeName* service) {
    // Equal texts share one handle, so comparing handles compares names.
    // initLink keeps no link with a missing name, so a wildcard never matches.
    return service == linkState.observerName && topic == linkState.topicName ? 1 : 0;
}

// The observer gets a copy of the token table, so that whatever it does to
// the table, the tokens released are the ones allocated; a null follows the
// last token, as after argv's. It may call back into the library: a removal
// there closes the link only once DDEML is done with this transaction.
void callObserver(ObserverCallback observer, const TokenVector& tokens) {
    char* table[TokenVector::capacity + 1];
    std::memcpy(table, tokens.slots, static_cast<size_t>(tokens.count) * sizeof *table);
    table[tokens.count] = nullptr;
    ++linkState.observerCalls;
    platformCallObserver(observer, tokens.count, table);
    --linkState.observerCalls;
    scheduleLinkCloseIfDue();
}

uint32_t handleNotification(DdeData* data) {
    char text[notificationBufferSize];
    if (!readNotification(data, text)) return ddeNotProcessed;

    TokenVector tokens;
    if (parseNotification(text, &tokens) != 0) return ddeNotProcessed;
    if (linkState.observer) callObserver(linkState.observer, tokens);
    // The observer may have removed itself; the answer says whether anyone
    // is still observing.
    const bool observed = linkState.observer != nullptr;
    releaseTokens(&tokens);
    return observed ? ddeAck : ddeNotProcessed;
}

}  // namespace

uint32_t linkCallback(uint32_t type, DdeName* topic, DdeName* service, DdeData* data) {
    switch (type) {
        case ddeConnect:
        case ddeConnectConfirm:
            return admitsConnection(topic, service);
        case ddeExecute:
        case ddePoke:
        case ddeRequest:
            return handleNotification(data);
        default:
            return 0;
    }
}
