// The simulator's control channel: WM_COPYDATA messages sent to its window
// (a hidden top-level window of class "KestrovaStandinPhone"). Kept apart
// from DDE so that later starts, the command line and tests can steer and
// inspect the phone whatever state its DDE conversations are in.
#pragma once

#include <windows.h>

namespace standin {

constexpr char phoneWindowClass[] = "KestrovaStandinPhone";

// COPYDATASTRUCT::dwData values.
// To the phone, from a later start of the program: a card's bytes, or the
// path of a card that could not be read.
constexpr ULONG_PTR copyCardContents = 1;
constexpr ULONG_PTR copyCardUnreadable = 2;
// To the phone: a control command (the text, no terminator). The phone
// returns TRUE when it carried the command out, FALSE when it refused it.
constexpr ULONG_PTR copyControlCommand = 0x4B430001;
// To the phone: a query (the item's name, e.g. "log"), with the window to
// answer to in wParam. Before returning TRUE the phone sends that window a
// copyQueryAnswer message holding the answer's text.
constexpr ULONG_PTR copyQuery = 0x4B430002;
constexpr ULONG_PTR copyQueryAnswer = 0x4B430003;
// To the phone, from a command line: a request, its words separated by NUL
// bytes ("incoming\0Ann Example\0+1 555 0100"), with the window to answer
// to in wParam. The phone sends that window a copyQueryAnswer message
// holding the answer's text, then returns TRUE when it carried the request
// out, FALSE when it is malformed or does not apply now.
constexpr ULONG_PTR copyRequest = 0x4B430004;

}  // namespace standin
