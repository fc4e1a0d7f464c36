#include "call.h"

namespace phone_sim {

const char* stateWord(CallState state) {
    switch (state) {
        case CallState::Idle: return "idle";
        case CallState::OffHook: return "offhook";
        case CallState::Dialling: return "dialling";
        case CallState::Ringing: return "ringing";
        case CallState::Incoming: return "incoming";
        case CallState::Connected: return "connected";
    }
    return "?";
}

std::string Call::start(CallState state, const std::string& name, const std::string& number) {
    if (!lineFree()) return {};
    state_ = state;
    name_ = name;
    number_ = number;
    return callEvent(stateWord(state));
}

std::string Call::callEvent(const char* event) const {
    return notification("call", event, name_, number_);
}

std::string Call::end(const char* reason) {
    const std::string ended = notification("call", "ended", name_, number_, reason);
    state_ = CallState::Idle;
    name_.clear();
    number_.clear();
    return ended;
}

std::string Call::dial(const std::string& name, const std::string& number) {
    return start(CallState::Dialling, name, number);
}

std::string Call::incoming(const std::string& name, const std::string& number) {
    return start(CallState::Incoming, name, number);
}

std::string Call::hookOff() {
    switch (state_) {
        case CallState::Idle:
            state_ = CallState::OffHook;
            return notification("line", "offhook");
        case CallState::Dialling:
        case CallState::Ringing:
        case CallState::Incoming:
            state_ = CallState::Connected;
            return callEvent("connected");
        case CallState::OffHook:
        case CallState::Connected:
            break;
    }
    return {};
}

std::string Call::hangUp() {
    switch (state_) {
        case CallState::OffHook:
            state_ = CallState::Idle;
            return notification("line", "onhook");
        case CallState::Dialling:
        case CallState::Ringing:
        case CallState::Incoming:
        case CallState::Connected:
            return end("local");
        case CallState::Idle:
            break;
    }
    return {};
}

std::string Call::ring() {
    if (state_ != CallState::Dialling) return {};
    state_ = CallState::Ringing;
    return callEvent("ringing");
}

std::string Call::remoteAnswer() {
    if (!awaitingAnswer()) return {};
    state_ = CallState::Connected;
    return callEvent("connected");
}

std::string Call::remoteHangUp() { return lineFree() ? std::string() : end("remote"); }

const char* cardVerdict(const Card& card, bool lineFree) {
    if (!card.hasNumber || card.number.empty()) return "invalid";
    if (isPlaceholder(card)) return "placeholder";
    if (!lineFree) return "busy";
    return "dial";
}

}  // namespace phone_sim
