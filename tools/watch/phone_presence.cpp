#include "phone_presence.h"

#include <windows.h>
#include <ddeml.h>

namespace watch {
namespace {

struct Presence {
    DWORD instance = 0;
    HSZ service = nullptr;
    HSZ topic = nullptr;
    HCONV conversation = nullptr;
    bool disconnected = false;  // the partner ended the conversation
};

Presence presence;

HDDEDATA CALLBACK presenceCallback(UINT type, UINT, HCONV conversation, HSZ, HSZ, HDDEDATA,
                                   ULONG_PTR, ULONG_PTR) {
    if (type == XTYP_DISCONNECT && conversation == presence.conversation)
        presence.disconnected = true;
    return nullptr;
}

bool openInstance() {
    if (presence.instance != 0) return true;
    const UINT flags = APPCMD_CLIENTONLY | CBF_FAIL_ALLSVRXACTIONS | CBF_SKIP_CONNECT_CONFIRMS |
                       CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS;
    if (DdeInitializeA(&presence.instance, presenceCallback, flags, 0) != DMLERR_NO_ERROR) {
        presence.instance = 0;
        return false;
    }
    presence.service = DdeCreateStringHandleA(presence.instance, "Kestrova", CP_WINANSI);
    presence.topic = DdeCreateStringHandleA(presence.instance, "Server", CP_WINANSI);
    return true;
}

}  // namespace

bool connectToPhone() {
    if (presence.conversation) return true;
    if (!openInstance()) return false;
    presence.disconnected = false;
    presence.conversation = DdeConnect(presence.instance, presence.service, presence.topic, nullptr);
    return presence.conversation != nullptr;
}

bool phoneStillConnected() {
    if (!presence.conversation) return false;
    // A phone application that ends its conversations is seen here as a
    // disconnect, or as a conversation marked terminated (Wine calls no
    // callback for it); one that crashed ends nothing, and only its window
    // is gone.
    CONVINFO info{};
    info.cb = sizeof info;
    const bool connected = !presence.disconnected &&
                           DdeQueryConvInfo(presence.conversation, QID_SYNC, &info) != 0 &&
                           (info.wStatus & ST_CONNECTED) && !(info.wStatus & ST_TERMINATED) &&
                           IsWindow(info.hwndPartner);
    // Under Wine an instance that lost a conversation connects to the same
    // service no more: the next try starts with a new instance.
    if (!connected) forgetPhone();
    return connected;
}

void forgetPhone() {
    if (presence.instance == 0) return;
    DdeFreeStringHandle(presence.instance, presence.service);
    DdeFreeStringHandle(presence.instance, presence.topic);
    DdeUninitialize(presence.instance);  // ends the conversation as well
    presence = Presence{};
}

}  // namespace watch
