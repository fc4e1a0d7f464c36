#include "dde_server.h"

#include <ddeml.h>

#include <map>
#include <set>
#include <string>

#include "dde_util.h"
#include "log.h"
#include "notifier.h"
#include "phone.h"
#include "phone_text.h"

namespace phone_sim {
namespace {

// Hold timers of the phone's window count up from here; lower ids are the
// phone's own.
constexpr UINT_PTR firstHoldTimer = 1000;

struct Server {
    DWORD instance = 0;
    HSZ service = nullptr;
    HSZ topic = nullptr;

    bool rejectCommands = false;
    DWORD holdMs = 0;

    std::set<HCONV> served;  // conversations on our service
    std::map<UINT_PTR, HCONV> holdTimers;
    UINT_PTR nextHoldTimer = firstHoldTimer;
    std::set<HCONV> released;  // held conversations whose transaction is due
};

Server server;

// Delays the conversation's current transaction: DDEML keeps it and offers it
// again when the timer re-enables the conversation.
HDDEDATA holdTransaction(HCONV conversation, const std::string& bytes) {
    const UINT_PTR timer = server.nextHoldTimer++;
    server.holdTimers[timer] = conversation;
    SetTimer(phoneWindow(), timer, server.holdMs, nullptr);
    logLine("hold " + std::to_string(server.holdMs) + " " + std::to_string(bytes.size()) + " " +
            escapeBytes(bytes));
    return CBR_BLOCK;
}

HDDEDATA command(HCONV conversation, const std::string& bytes) {
    if (server.holdMs > 0 && server.released.erase(conversation) == 0)
        return holdTransaction(conversation, bytes);
    server.released.erase(conversation);

    const Command parsed = parseCommand(bytes);
    const char* verdict = server.rejectCommands              ? "rejected"
                          : parsed.kind == Command::Unknown ? "unknown"
                                                            : "accepted";
    logLine("command " + std::to_string(bytes.size()) + " " + verdict + " " + escapeBytes(bytes));
    if (server.rejectCommands || parsed.kind == Command::Unknown)
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);

    switch (parsed.kind) {
        case Command::HookOff: hookOff(); break;
        case Command::HangUp: hangUp(); break;
        case Command::Subscribe: queueSubscription(parsed.service); break;
        case Command::Unknown: break;
    }
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

HDDEDATA CALLBACK ddeCallback(UINT type, UINT, HCONV conversation, HSZ hsz1, HSZ hsz2,
                              HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    switch (type) {
        case XTYP_CONNECT:  // hsz1: topic, hsz2: service
            return reinterpret_cast<HDDEDATA>(sameName(hsz2, server.service) &&
                                              sameName(hsz1, server.topic));
        case XTYP_CONNECT_CONFIRM:
            server.served.insert(conversation);
            logLine("connect Server");
            return nullptr;
        case XTYP_DISCONNECT:
            if (server.served.erase(conversation) > 0) {
                logLine("disconnect Server");
                server.released.erase(conversation);
            }
            return nullptr;
        case XTYP_EXECUTE:
            return command(conversation, dataBytes(data));
        case XTYP_POKE: {
            const std::string bytes = dataBytes(data);
            logLine("poke " + std::to_string(bytes.size()) + " rejected " + escapeBytes(bytes));
            return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
        }
        default:
            return nullptr;
    }
}

}  // namespace

bool startServer() {
    const UINT flags = APPCLASS_STANDARD | APPCMD_FILTERINITS | CBF_SKIP_REGISTRATIONS |
                       CBF_SKIP_UNREGISTRATIONS | CBF_FAIL_ADVISES;
    if (DdeInitializeA(&server.instance, ddeCallback, flags, 0) != DMLERR_NO_ERROR) return false;
    server.service = DdeCreateStringHandleA(server.instance, serviceName, CP_WINANSI);
    server.topic = DdeCreateStringHandleA(server.instance, serverTopicName, CP_WINANSI);
    return DdeNameService(server.instance, server.service, nullptr, DNS_REGISTER) != nullptr;
}

void stopServer() {
    if (server.instance == 0) return;
    DdeNameService(server.instance, nullptr, nullptr, DNS_UNREGISTER);
    DdeUninitialize(server.instance);
    server.instance = 0;
}

void setRejectCommands(bool reject) { server.rejectCommands = reject; }
void setCommandHold(DWORD ms) { server.holdMs = ms; }

void releaseHeldCommand(UINT_PTR timer) {
    KillTimer(phoneWindow(), timer);
    const auto it = server.holdTimers.find(timer);
    if (it == server.holdTimers.end()) return;
    const HCONV conversation = it->second;
    server.holdTimers.erase(it);
    server.released.insert(conversation);
    DdeEnableCallback(server.instance, conversation, EC_ENABLEONE);
}

}  // namespace phone_sim
