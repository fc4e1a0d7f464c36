// The link's lifecycle and the call-control commands.
//
// States: Idle (no instance), Registered (instance and observer service, no
// conversation), Connected (conversation open). A failed connection leaves
// the link Registered so that the next request retries; a failed command
// leaves it Connected and the conversation is reused, never reopened: only
// closeLink goes back to Idle.

#include "link.h"

#include "dial_handoff.h"
#include "text_compose.h"

LinkState linkState;

namespace {

constexpr char phoneServiceName[] = "Kestrova";
constexpr char topicName[] = "Server";
constexpr uint32_t commandTimeoutMs = 5000;

constexpr char hookOffCommand[] = "[hookoff()]";
constexpr char hangUpCommand[] = "[hangup()]";

// Composed explicitly: the pointer format of the runtimes differs in case
// and width, and the phone application expects exactly eight upper-case
// hex digits.
void writeObserverServiceName(uint32_t processId) {
    constexpr int32_t size = LinkState::observerServiceNameSize;
    const int32_t length = appendText(linkState.observerServiceName, size, 0, "KestrovaObserver.");
    appendHex8(linkState.observerServiceName, size, length, processId);  // 25 of 32 bytes
}

void releaseName(DdeName*& name) {
    if (name) ddeFreeName(linkState.instance, name);
    name = nullptr;
}

}  // namespace

int32_t initLink() {
    if (linkState.instance != 0) return KESTROVA_OK;
    if (ddeInitialize(&linkState.instance) != 0) {
        linkState.instance = 0;
        return KESTROVA_NO_RESOURCE;
    }
    writeObserverServiceName(platformProcessId());
    linkState.serviceName = ddeCreateName(linkState.instance, phoneServiceName);
    linkState.observerName = ddeCreateName(linkState.instance, linkState.observerServiceName);
    linkState.topicName = ddeCreateName(linkState.instance, topicName);
    // A missing name would make the connection a wildcard one, reaching any
    // server on any topic: give the instance up instead.
    if (!linkState.serviceName || !linkState.observerName || !linkState.topicName) {
        closeLink();
        return KESTROVA_NO_RESOURCE;
    }
    ddeRegisterService(linkState.instance, linkState.observerName);
    return KESTROVA_OK;
}

int32_t connectLink() {
    if (linkState.conversation) return KESTROVA_OK;
    if (linkState.instance == 0) {
        const int32_t result = initLink();
        if (result != KESTROVA_OK) return result;
    }
    linkState.conversation =
        ddeConnectTo(linkState.instance, linkState.serviceName, linkState.topicName);
    return linkState.conversation ? KESTROVA_OK : KESTROVA_FAILED;
}

int32_t executeCommand(const char* command, int32_t length) {
    if (ddeExecuteCommand(linkState.conversation, command, length, commandTimeoutMs))
        return KESTROVA_OK;
    ddeLastError(linkState.instance);  // clears it; the reason is not reported
    return KESTROVA_FAILED;
}

int32_t closeLink() {
    if (linkState.instance == 0) return KESTROVA_OK;
    releaseName(linkState.serviceName);
    releaseName(linkState.observerName);
    releaseName(linkState.topicName);
    ddeUninitialize(linkState.instance);  // also ends the conversation
    linkState.instance = 0;
    linkState.conversation = nullptr;
    return KESTROVA_OK;
}

int32_t openLinkToPhone() {
    const int32_t result = kestrovaStartup();
    return result == KESTROVA_OK ? connectLink() : result;
}

int32_t sendToPhone(const char* command, int32_t length) {
    const int32_t result = openLinkToPhone();
    return result == KESTROVA_OK ? executeCommand(command, length) : result;
}

extern "C" int KESTROVA_CALL kestrovaHookOff(void) {
    return sendToPhone(hookOffCommand, sizeof hookOffCommand - 1);
}

extern "C" int KESTROVA_CALL kestrovaHangUp(void) {
    return sendToPhone(hangUpCommand, sizeof hangUpCommand - 1);
}
