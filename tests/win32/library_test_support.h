// What the library's Win32 tests share: a recording observer, the library's
// observer service name, and a raw DDEML client for poking at that service
// the way another application could.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KestrovaAPI.h"
#include "phone_text.h"
#include "phone_control.h"

namespace kestrova_test {

using Notification = std::vector<std::string>;

inline std::vector<Notification>& received() {
    static std::vector<Notification> notifications;
    return notifications;
}

inline void KESTROVA_CALL recordNotification(int count, char** tokens) {
    received().emplace_back(tokens, tokens + count);
}

inline std::vector<Notification>& receivedByOther() {
    static std::vector<Notification> notifications;
    return notifications;
}

inline void KESTROVA_CALL recordOtherNotification(int count, char** tokens) {
    receivedByOther().emplace_back(tokens, tokens + count);
}

inline std::string observerServiceName() {
    char name[32];
    std::snprintf(name, sizeof name, "KestrovaObserver.%08lX", GetCurrentProcessId());
    return name;
}

// Dispatches messages until at least count notifications were received.
inline bool waitForNotifications(std::size_t count, DWORD timeoutMs = 10000) {
    return pumpUntil([&] { return received().size() >= count; }, timeoutMs);
}

// The first request also starts the phone, which needs a moment before it
// serves: retry while the answer is "nobody there".
template <typename Request>
int retryWhileUnreachable(Request request, int attempts = 40) {
    int result = KESTROVA_FAILED;
    for (int i = 0; i < attempts && result == KESTROVA_FAILED; ++i) {
        result = request();
        if (result == KESTROVA_FAILED) pumpMessagesFor(250);
    }
    return result;
}

// A DDEML client of its own, as any other application on the machine.
class RawClient {
public:
    RawClient() {
        DdeInitializeA(&instance_, callback, APPCMD_CLIENTONLY | CBF_SKIP_ALLNOTIFICATIONS, 0);
    }
    ~RawClient() {
        if (conversation_) DdeDisconnect(conversation_);
        DdeUninitialize(instance_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(const std::string& service, const std::string& topic) {
        if (conversation_) DdeDisconnect(conversation_);
        const HSZ serviceName = DdeCreateStringHandleA(instance_, service.c_str(), CP_WINANSI);
        const HSZ topicName = DdeCreateStringHandleA(instance_, topic.c_str(), CP_WINANSI);
        conversation_ = DdeConnect(instance_, serviceName, topicName, nullptr);
        DdeFreeStringHandle(instance_, serviceName);
        DdeFreeStringHandle(instance_, topicName);
        return conversation_ != nullptr;
    }

    // An execute of length bytes; true when the server accepted it.
    bool execute(const char* bytes, DWORD length) {
        DWORD status = 0;
        return DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<char*>(bytes)), length,
                                    conversation_, nullptr, 0, XTYP_EXECUTE, 5000,
                                    &status) != nullptr;
    }

    // A request for item; returns whether data came back and the error.
    bool request(const char* item, UINT* error) {
        const HSZ itemName = DdeCreateStringHandleA(instance_, item, CP_WINANSI);
        DWORD status = 0;
        const HDDEDATA data = DdeClientTransaction(nullptr, 0, conversation_, itemName, CF_TEXT,
                                                   XTYP_REQUEST, 3000, &status);
        DdeFreeStringHandle(instance_, itemName);
        *error = DdeGetLastError(instance_);
        if (data) DdeFreeDataHandle(data);
        return data != nullptr;
    }

private:
    static HDDEDATA CALLBACK callback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
        return nullptr;
    }
    DWORD instance_ = 0;
    HCONV conversation_ = nullptr;
};

// The hand-off file's expected bytes on disk: text mode stores CR LF.
inline std::string cardOnDisk(const std::string& name, const std::string& number) {
    std::string card = "BEGIN:VCARD\nVERSION:2.1\nN:;" + name + "\nTEL;WORK;VOICE:" + number +
                       "\nEND:VCARD\n";
    std::string disk;
    for (char c : card) {
        if (c == '\n') disk += '\r';
        disk += c;
    }
    return disk;
}

}  // namespace kestrova_test
