// The simulator's side of its control channel (control_channel.h): cards
// from later starts, the tests' control commands and queries, and the
// requests of the command line.
#pragma once

#include <windows.h>

namespace phone_sim {

// Handles a WM_COPYDATA message sent to the phone's window; asker is its
// wParam. Returns the message's result.
LRESULT controlMessage(HWND asker, const COPYDATASTRUCT& copy);

}  // namespace phone_sim
