// The simulator's DDE service "Kestrova", topic "Server": the commands the
// library sends, each logged with its bytes, and the hooks that make the
// phone refuse or delay them.
#pragma once

#include <windows.h>

namespace phone_sim {

// Registers the service; false if DDEML would not.
bool startServer();
// Withdraws the service and ends its conversations.
void stopServer();

// Refuse (DDE_FNOTPROCESSED) every command.
void setRejectCommands(bool reject);
// Hold the answer to each later command for ms (0: answer at once).
void setCommandHold(DWORD ms);
// A hold timer of the phone's window went off.
void releaseHeldCommand(UINT_PTR timer);

}  // namespace phone_sim
