// The running simulator: its call, the hidden window through which later
// starts, the command line and tests reach it (control_channel.h), and the
// timers on that window. Everything here runs on the serving thread.
#pragma once

#include <windows.h>

#include <string>

#include "call.h"

namespace phone_sim {

// Creates the hidden window; false if it could not.
bool createPhoneWindow(HINSTANCE module);
HWND phoneWindow();

const Call& currentCall();

// The call's moves; each sends the notification it causes. The ones that
// return bool return false, changing nothing, when they do not apply now.
bool dialCall(const std::string& name, const std::string& number);
bool incomingCall(const std::string& name, const std::string& number);
void hookOff();
void hangUp();
bool remoteAnswer();
bool remoteHangUp();

// Delay from "dialling" to "ringing" of calls dialled later.
void setRingDelay(DWORD ms);

// Ends the process once the message being handled has been answered, as a
// crash would: no service withdrawn, no conversation ended, so neither
// clients nor subscribers are told. The process's exit code is crashExitCode.
constexpr UINT crashExitCode = 9;
void crashSoon();

// A card given on the command line ("arg") or by a later start
// ("handoff"): logged, and dialled when it asks for a call.
void receiveCard(const char* source, const std::string& contents);

}  // namespace phone_sim
