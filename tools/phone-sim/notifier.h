// The simulator's sending side: a thread of its own that connects to the
// services named in subscribe commands and sends them every notification.
//
// It is apart from the serving thread because DdeConnect sends
// WM_DDE_INITIATE to every top-level window and waits for each, while a
// client waiting in a synchronous DDEML transaction handles no sent
// messages: a connecting thread must never be the one that client waits for.
#pragma once

#include <windows.h>

#include <string>

namespace phone_sim {

// Starts the thread and waits until it can take work; false if it could not.
bool startNotifier();
// Asks the thread to end and waits for it a while: it may be stuck waiting
// for a subscriber that does not answer.
void stopNotifier();

// Queued in order, done by the thread one after the other.
void queueSubscription(std::string service);
// Sends the bytes (XTYP_EXECUTE or XTYP_POKE) count times to every
// subscriber.
void queueNotification(std::string bytes, UINT type = XTYP_EXECUTE, unsigned long count = 1);

// Names of the connected subscribers, a line each.
std::string subscriberNames();
// How long a notification waits for a subscriber's answer.
void setSendTimeout(DWORD ms);

}  // namespace phone_sim
