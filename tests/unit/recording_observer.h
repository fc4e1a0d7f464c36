// Observers for tests: they record every notification they receive.
#pragma once

#include <string>
#include <vector>

#include "KestrovaAPI.h"

using Notification = std::vector<std::string>;

inline std::vector<Notification>& receivedByFirst() {
    static std::vector<Notification> received;
    return received;
}

inline std::vector<Notification>& receivedBySecond() {
    static std::vector<Notification> received;
    return received;
}

inline void KESTROVA_CALL firstObserver(int count, char** tokens) {
    receivedByFirst().emplace_back(tokens, tokens + count);
}

inline void KESTROVA_CALL secondObserver(int count, char** tokens) {
    receivedBySecond().emplace_back(tokens, tokens + count);
}

// Records like firstObserver, then removes itself.
inline void KESTROVA_CALL selfRemovingObserver(int count, char** tokens) {
    receivedByFirst().emplace_back(tokens, tokens + count);
    kestrovaRemoveObserver(selfRemovingObserver);
}

inline void clearReceived() {
    receivedByFirst().clear();
    receivedBySecond().clear();
}
