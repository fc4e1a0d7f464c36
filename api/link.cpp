// The link's lifecycle and the call-control commands.
//
// States: Idle (no instance), Registered (instance and observer service, no
// conversation), Connected (conversation open). A failed connection leaves
// the link Registered so that the next request retries; a failed command
// leaves it Connected and the conversation is reused, never reopened: only
// closeLink goes back to Idle.
//
// DDEML serves an instance only on the thread that created it, dispatches
// the instance's transactions while that thread waits for a command, and
// must not lose the instance while it is dispatching or waiting. So a
// command waits alone, other threads are turned away, and a removal from
// inside the observer or during a command's wait closes the link later.

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

// Another thread may read the owner while this one writes it. Its id, by
// which other threads tell whose the link is, is stored last when the link
// goes, so a thread that sees none sees the link gone whole; and after the
// hold when the link is made, so a thread that sees one finds the hold.
void setLinkOwner(PlatformThread* thread, uint32_t threadId) {
    if (thread) __atomic_store_n(&linkState.ownerThread, thread, __ATOMIC_RELEASE);
    __atomic_store_n(&linkState.ownerThreadId, threadId, __ATOMIC_RELEASE);
    if (!thread) __atomic_store_n(&linkState.ownerThread, thread, __ATOMIC_RELEASE);
}

bool linkBusy() { return linkState.observerCalls > 0 || linkState.waitingForPhone; }

void resetLinkFields() {
    linkState.serviceName = nullptr;
    linkState.observerName = nullptr;
    linkState.topicName = nullptr;
    linkState.conversation = nullptr;
    linkState.instance = 0;
    linkState.closePending = false;
    PlatformThread* const owner = linkOwner();
    setLinkOwner(nullptr, 0);
    if (owner) platformReleaseThread(owner);
}

}  // namespace

int32_t initLink() {
    if (linkState.instance != 0) return KESTROVA_OK;
    PlatformThread* const owner = platformHoldThisThread();
    if (!owner) return KESTROVA_NO_RESOURCE;
    if (ddeInitialize(&linkState.instance) != 0) {
        linkState.instance = 0;
        platformReleaseThread(owner);
        return KESTROVA_NO_RESOURCE;
    }
    setLinkOwner(owner, platformThreadId());
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
    linkState.waitingForPhone = true;
    const bool accepted =
        ddeExecuteCommand(linkState.conversation, command, length, commandTimeoutMs);
    linkState.waitingForPhone = false;
    if (accepted) return KESTROVA_OK;
    ddeLastError(linkState.instance);  // clears it; the reason is not reported
    return KESTROVA_FAILED;
}

int32_t closeLink() {
    if (linkState.instance == 0) return KESTROVA_OK;
    releaseName(linkState.serviceName);
    releaseName(linkState.observerName);
    releaseName(linkState.topicName);
    ddeUninitialize(linkState.instance);  // also ends the conversation
    platformCancelCallSoon();
    resetLinkFields();
    return KESTROVA_OK;
}

PlatformThread* linkOwner() { return __atomic_load_n(&linkState.ownerThread, __ATOMIC_ACQUIRE); }

bool linkOwnedElsewhere() {
    // Held, the owner's id is no other thread's, even once it has ended.
    const uint32_t owner = __atomic_load_n(&linkState.ownerThreadId, __ATOMIC_ACQUIRE);
    return owner != 0 && owner != platformThreadId();
}

int32_t requestLinkClose() {
    if (!linkBusy()) return closeLink();
    linkState.closePending = true;
    return KESTROVA_OK;
}

void closeLinkIfDue() {
    if (!linkOwnedElsewhere() && linkState.closePending && !linkBusy()) closeLink();
}

void scheduleLinkCloseIfDue() {
    if (linkState.closePending && !linkBusy()) platformCallSoon(closeLinkIfDue);
}

void forgetLink() {
    // Nothing of that thread is under way any more.
    linkState.observerCalls = 0;
    linkState.waitingForPhone = false;
    platformForgetCallSoon();
    resetLinkFields();
}

int32_t openLinkToPhone() {
    // A second synchronous transaction would go out while the first waits
    // and hold both up until they time out.
    if (linkOwnedElsewhere() || linkState.waitingForPhone) return KESTROVA_FAILED;
    // Like every export, the hand-off first closes a link whose close was
    // put off: the request then builds a new one.
    int32_t result = kestrovaStartup();
    if (result != KESTROVA_OK) return result;
    // Connecting, DDEML handles messages sent to the thread meanwhile.
    linkState.waitingForPhone = true;
    result = connectLink();
    linkState.waitingForPhone = false;
    return result;
}

int32_t sendToPhone(const char* command, int32_t length) {
    int32_t result = openLinkToPhone();
    if (result == KESTROVA_OK) result = executeCommand(command, length);
    closeLinkIfDue();  // the observer may have removed itself during the wait
    return result;
}

extern "C" int KESTROVA_CALL kestrovaHookOff(void) {
    return sendToPhone(hookOffCommand, sizeof hookOffCommand - 1);
}

extern "C" int KESTROVA_CALL kestrovaHangUp(void) {
    return sendToPhone(hangUpCommand, sizeof hangUpCommand - 1);
}
