// Subscribing an observer and removing it (see docs/design.md for the
// put-off close a removal may leave).
#pragma once

#include <cstdint>

#include "KestrovaAPI.h"

// Sends the subscribe command on the connected link; on success observer
// becomes the one observer and a put-off close is called off.
int32_t subscribe(ObserverCallback observer);
// On the link's thread: -1 unless observer is the observer; otherwise
// clears it and closes the link, at once or once DDEML is done with it.
int32_t removeObserver(ObserverCallback observer);
// On another thread, once the link's thread has ended: the same, but the
// link, which DDEML ended with that thread, is forgotten instead of closed;
// a close put off there is done whatever the callback.
int32_t removeObserverOfEndedThread(ObserverCallback observer);
