// Whether the phone application is there, seen through a DDEML client
// instance of the watch's own, apart from the library's link: a
// conversation with "Kestrova"/"Server" that the watch keeps open and
// looks at, and opens again once the phone application answers again.
//
// Nothing here hands a card to the shell, so nothing here starts the phone
// application. Everything runs on the thread that dispatches the watch's
// messages, the one that made the library's link.
#pragma once

namespace watch {

// Opens the conversation unless one is open; true when one is. A failed
// try costs one DdeConnect and leaves no trace with the phone application.
bool connectToPhone();

// Whether the open conversation still has its partner: false once the
// phone application has ended it, or has ended without ending it (a crash),
// or when none is open. A lost conversation is dropped on the way, so that
// connectToPhone opens a new one.
bool phoneStillConnected();

// Drops the conversation and the instance.
void forgetPhone();

}  // namespace watch
