// The library's one DDE link to the phone application: the instance, its
// names, the observer service and the client conversation.
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
};

// The process-wide record, all zero at load.
extern LinkState linkState;

// Each returns a result code (0, -1 or -2).
int32_t initLink();
int32_t connectLink();
int32_t executeCommand(const char* command, int32_t length);
int32_t closeLink();

// The first two stages of every request to the phone application: start it
// (the placeholder hand-off), then make sure the conversation exists.
int32_t openLinkToPhone();
// Both stages, then the command.
int32_t sendToPhone(const char* command, int32_t length);
