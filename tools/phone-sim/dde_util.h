// DDEML helpers shared by the simulator's serving and sending sides.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <string>

namespace phone_sim {

constexpr char serviceName[] = "Kestrova";
constexpr char serverTopicName[] = "Server";

// The low word of a DDE status or error, as "0xNNNN".
inline std::string hex4(DWORD value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value & 0xFFFF));
    return text;
}

inline std::string ddeErrorName(UINT error) {
    switch (error) {
        case DMLERR_NO_ERROR: return "NO_ERROR";
        case DMLERR_ADVACKTIMEOUT: return "ADVACKTIMEOUT";
        case DMLERR_BUSY: return "BUSY";
        case DMLERR_DATAACKTIMEOUT: return "DATAACKTIMEOUT";
        case DMLERR_DLL_NOT_INITIALIZED: return "DLL_NOT_INITIALIZED";
        case DMLERR_DLL_USAGE: return "DLL_USAGE";
        case DMLERR_EXECACKTIMEOUT: return "EXECACKTIMEOUT";
        case DMLERR_INVALIDPARAMETER: return "INVALIDPARAMETER";
        case DMLERR_LOW_MEMORY: return "LOW_MEMORY";
        case DMLERR_MEMORY_ERROR: return "MEMORY_ERROR";
        case DMLERR_NOTPROCESSED: return "NOTPROCESSED";
        case DMLERR_NO_CONV_ESTABLISHED: return "NO_CONV_ESTABLISHED";
        case DMLERR_POKEACKTIMEOUT: return "POKEACKTIMEOUT";
        case DMLERR_POSTMSG_FAILED: return "POSTMSG_FAILED";
        case DMLERR_REENTRANCY: return "REENTRANCY";
        case DMLERR_SERVER_DIED: return "SERVER_DIED";
        case DMLERR_SYS_ERROR: return "SYS_ERROR";
        case DMLERR_UNADVACKTIMEOUT: return "UNADVACKTIMEOUT";
        case DMLERR_UNFOUND_QUEUE_ID: return "UNFOUND_QUEUE_ID";
        default: return hex4(error);
    }
}

inline bool sameName(HSZ a, HSZ b) { return a && b && DdeCmpStringHandles(a, b) == 0; }

inline std::string dataBytes(HDDEDATA data) {
    if (!data) return {};
    const DWORD size = DdeGetData(data, nullptr, 0, 0);
    std::string bytes(size, '\0');
    if (size > 0) DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), size, 0);
    return bytes;
}

}  // namespace phone_sim
