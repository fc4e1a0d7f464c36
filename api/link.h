// The library's one DDE link to the phone application: the instance, its
// names, the observer service and the client conversation. Its states, the
// put-off close and who owns it: docs/design.md.
#pragma once

#include <cstdint>

#include "KestrovaAPI.h"
#include "platform.h"

struct LinkState {
    // "KestrovaObserver." and eight upper-case hex digits of the process id.
    static constexpr int observerServiceNameSize = 32;
    char observerServiceName[observerServiceNameSize];
    ObserverCallback observer;
    DdeName* serviceName;   // "Kestrova"
    DdeName* observerName;  // observerServiceName
    DdeName* topicName;     // "Server"
    DdeConversation* conversation;
    uint32_t instance;  // 0: no link
    // The thread that made the link, held for the link's life (see
    // docs/design.md). Read by other threads, so accessed through
    // linkOwner, linkOwnedElsewhere and setLinkOwner only.
    PlatformThread* ownerThread;  // nullptr: no link
    uint32_t ownerThreadId;       // 0: no link
    // What the owner thread is in the middle of, for calls that re-enter
    // the library from the observer or from a message dispatched meanwhile.
    int32_t observerCalls;  // observer calls under way (they may nest)
    bool waitingForPhone;   // a connection or a command waits for the phone's answer
    bool closePending;      // the put-off close (docs/design.md)
};

// The process-wide record, all zero at load.
extern LinkState linkState;

// Each returns a result code (0, -1 or -2).
int32_t initLink();
int32_t connectLink();
int32_t executeCommand(const char* command, int32_t length);
int32_t closeLink();

// The thread that owns the link, nullptr when there is none.
PlatformThread* linkOwner();
// True when a link exists and belongs to another thread than the caller.
bool linkOwnedElsewhere();

// Closes the link now, or, while an observer call or a command is under
// way, as soon as DDEML is done with them. Returns 0.
int32_t requestLinkClose();
// Runs a close that was put off, if nothing holds it up any more and the
// caller is the link's thread.
void closeLinkIfDue();
// After an observer call: has a put-off close run once the link's thread is
// back in its message loop, outside DDEML's dispatch.
void scheduleLinkCloseIfDue();
// Drops the link of a thread that has ended without closing it. DDEML ended
// with that thread; its instance cannot be released from another one, and
// nothing of that thread, its timer included, is touched.
void forgetLink();

// True when a request to the phone is to fail with -1 at once, before the
// hand-off: the caller's thread does not own the link, or a connection or
// a command waits for the phone.
bool linkTurnsRequestAway();
// True when the link belongs to another thread that still runs: only that
// thread may close it.
bool linkOwnedByRunningThread();
// connectLink, marked as a wait for the phone.
int32_t connectToPhone();
// Whether the link exists, whether it holds a conversation, and whether
// the phone application is still at the other end of it.
inline bool linkExists() { return linkState.instance != 0; }
inline bool linkConnected() { return linkState.conversation != nullptr; }
inline bool phoneStillConnected() { return ddeConversationAlive(linkState.conversation); }
