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
    // A hand-off process that starts late reads whatever card the file holds
    // by then: let every one of them hand its card over before the test
    // writes a card of its own.
    // Under emulation on a loaded machine a process can take tens of seconds
    // to start.
    pumpUntil([] { return phoneProcesses() <= 1; }, 60000);
    return result;
}

// A DDEML client of its own, as any other application on the machine. It can
// also serve a service of its own on topic "Server", which makes it the
// library's link done with bare DDEML: one instance, set up as the library
// sets up its own, serving and holding a conversation, that hands what
// arrives to a plain function instead of parsing it. One serves at a time.
class RawClient {
public:
    // Gets each execute or poke to the service, read as the library reads
    // it (into 1024 bytes); true: acknowledge it as processed.
    using Receiver = bool (*)(const char* bytes, DWORD size);

    RawClient() { open(); }
    ~RawClient() { end(); }
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
    bool connected() const { return conversation_ != nullptr; }
    // As the library tells whether the phone is still at the other end.
    bool partnerAlive() const {
        CONVINFO info{};
        info.cb = sizeof info;
        return DdeQueryConvInfo(conversation_, QID_SYNC, &info) != 0 &&
               (info.wStatus & ST_CONNECTED) && !(info.wStatus & ST_TERMINATED) &&
               IsWindow(info.hwndPartner);
    }

    bool serve(const std::string& service, Receiver receiver) {
        server_ = this;
        receiver_ = receiver;
        service_ = DdeCreateStringHandleA(instance_, service.c_str(), CP_WINANSI);
        topic_ = DdeCreateStringHandleA(instance_, "Server", CP_WINANSI);
        return DdeNameService(instance_, service_, nullptr, DNS_REGISTER) != nullptr;
    }
    bool serving() const { return service_ != nullptr; }

    // Ends the instance as the library's link ends, with every conversation
    // and the service, and starts a new one.
    void close() { end(); open(); }

    // An execute of length bytes; true when the server accepted it.
    bool execute(const char* bytes, DWORD length) {
        DWORD status = 0;
        const bool accepted =
            DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<char*>(bytes)), length,
                                 conversation_, nullptr, 0, XTYP_EXECUTE, 5000, &status) != nullptr;
        if (!accepted) DdeGetLastError(instance_);  // cleared, as the library does
        return accepted;
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
    void open() { DdeInitializeA(&instance_, callback, APPCMD_FILTERINITS, 0); }
    void end() {
        if (service_) DdeFreeStringHandle(instance_, service_);
        if (topic_) DdeFreeStringHandle(instance_, topic_);
        DdeUninitialize(instance_);
        if (server_ == this) server_ = nullptr;
        instance_ = 0;
        conversation_ = nullptr;
        service_ = topic_ = nullptr;
    }
    static HDDEDATA CALLBACK callback(UINT type, UINT, HCONV, HSZ topic, HSZ service, HDDEDATA data,
                                      ULONG_PTR, ULONG_PTR) {
        ULONG_PTR result = 0;
        if (server_ && (type == XTYP_CONNECT || type == XTYP_CONNECT_CONFIRM)) {
            result = topic == server_->topic_ && service == server_->service_;
        } else if (server_ && (type == XTYP_EXECUTE || type == XTYP_POKE)) {
            char bytes[1024];
            const DWORD size = DdeGetData(data, reinterpret_cast<LPBYTE>(bytes), sizeof bytes, 0);
            result = server_->receiver_(bytes, size) ? DDE_FACK : 0;
        }
        return reinterpret_cast<HDDEDATA>(result);
    }
    static inline RawClient* server_ = nullptr;
    DWORD instance_ = 0;
    HCONV conversation_ = nullptr;
    HSZ service_ = nullptr;
    HSZ topic_ = nullptr;
    Receiver receiver_ = nullptr;
};

// For its lifetime the temporary directory is folder (TMP comes first).
class TempDirectoryAs {
public:
    explicit TempDirectoryAs(const std::wstring& folder) {
        wchar_t saved[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
        hadTmp_ = length > 0 && length < MAX_PATH;
        if (hadTmp_) saved_ = saved;
        SetEnvironmentVariableW(L"TMP", folder.c_str());
    }
    ~TempDirectoryAs() { SetEnvironmentVariableW(L"TMP", hadTmp_ ? saved_.c_str() : nullptr); }
    TempDirectoryAs(const TempDirectoryAs&) = delete;
    TempDirectoryAs& operator=(const TempDirectoryAs&) = delete;

private:
    std::wstring saved_;
    bool hadTmp_ = false;
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
