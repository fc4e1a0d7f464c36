// The link's lifecycle: making it, connecting, sending a command, closing
// it at once or later, forgetting it. Its states, the put-off close and who
// owns it are described in docs/design.md.

#include "link.h"

#include "text_compose.h"

LinkState linkState;

namespace {

constexpr char phoneServiceName[] = "Kestrova";
constexpr char topicName[] = "Server";
constexpr uint32_t commandTimeoutMs = 5000;

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
    if (linkExists()) return KESTROVA_OK;
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
    if (linkConnected()) return KESTROVA_OK;
    if (!linkExists()) {
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
    if (!linkExists()) return KESTROVA_OK;
    // Ending the instance, DDEML may dispatch messages while partners end
    // their conversations, the put-off close's timer among them: by then no
    // close may be pending and the link must have no instance to close again.
    linkState.closePending = false;
    platformCancelCallSoon();
    releaseName(linkState.serviceName);
    releaseName(linkState.observerName);
    releaseName(linkState.topicName);
    const uint32_t instance = linkState.instance;
    linkState.instance = 0;
    ddeUninitialize(instance);  // also ends the conversation
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

bool linkTurnsRequestAway() {
    // A second synchronous transaction would go out while the first waits
    // and hold both up until they time out.
    return linkOwnedElsewhere() || linkState.waitingForPhone;
}

bool linkOwnedByRunningThread() {
    return linkOwnedElsewhere() && !platformThreadEnded(linkOwner());
}

int32_t connectToPhone() {
    // Connecting, DDEML handles messages sent to the thread meanwhile.
    linkState.waitingForPhone = true;
    const int32_t result = connectLink();
    linkState.waitingForPhone = false;
    return result;
}
