// The simulator's line and its one call: the states, what moves between
// them, and the notification each move sends. No Win32 here.
#pragma once

#include <string>

#include "phone_text.h"

namespace phone_sim {

enum class CallState { Idle, OffHook, Dialling, Ringing, Incoming, Connected };

// "idle", "offhook", "dialling", "ringing", "incoming" or "connected".
const char* stateWord(CallState state);

// Every move returns the notification it causes, or empty text when it
// causes none. A move that does not apply in the current state changes
// nothing; the checks say beforehand which ones apply.
class Call {
public:
    CallState state() const { return state_; }
    const std::string& name() const { return name_; }
    const std::string& number() const { return number_; }

    // Idle or off hook: a new call may start.
    bool lineFree() const { return state_ == CallState::Idle || state_ == CallState::OffHook; }
    // Dialling or ringing: the far end may answer.
    bool awaitingAnswer() const {
        return state_ == CallState::Dialling || state_ == CallState::Ringing;
    }

    std::string dial(const std::string& name, const std::string& number);
    std::string incoming(const std::string& name, const std::string& number);
    // The commands of the "Server" topic: connect a call, or open the line.
    std::string hookOff();
    // End the call, or close the open line.
    std::string hangUp();
    // Some time after dialling, the far end rings.
    std::string ring();
    std::string remoteAnswer();
    std::string remoteHangUp();

private:
    std::string start(CallState state, const std::string& name, const std::string& number);
    std::string callEvent(const char* event) const;
    std::string end(const char* reason);

    CallState state_ = CallState::Idle;
    std::string name_;
    std::string number_;
};

// What a card handed to the simulator asks for: "dial", or why not:
// "placeholder" (the library only starting the phone), "invalid" (no
// number) or "busy" (a call is under way).
const char* cardVerdict(const Card& card, bool lineFree);

}  // namespace phone_sim
