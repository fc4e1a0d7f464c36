// kestrova-phone-sim: plays the phone application's side of KestrovaAPI for
// developers, tests and the demo. PROTOCOL.md beside this file describes
// what it accepts, what it sends, its command line and its control channel.
//
// The simulator runs two threads, each with a DDEML instance of its own: the
// serving thread (this one) registers the "Kestrova" service and answers its
// "Server" topic (dde_server), keeps the call (phone, call) and through its
// window takes cards, control commands, queries and command-line requests
// (control); the sending thread (notifier) connects to subscribers and sends
// them the notifications the serving thread queues.
//
// A GUI program, so that the shell starts it without a console or a window;
// the command-line forms print to whoever started them (command_line).

#include <windows.h>

#include <cstdio>
#include <string>

#include "command_line.h"
#include "dde_server.h"
#include "log.h"
#include "notifier.h"
#include "phone.h"
#include "phone_text.h"

namespace {

constexpr char instanceMutexName[] = "KestrovaStandinPhone";

// Everything is up before the first message is looked at, so a starter
// waiting for this process to become idle can connect at once.
bool startServing(HINSTANCE module) {
    // The window comes after the service: later starts, the command line and
    // the tests look for the window to know that the phone serves.
    if (!phone_sim::startServer() || !phone_sim::createPhoneWindow(module)) return false;
    // The sending thread's message loop makes the process count as idle for
    // WaitForInputIdle, so it starts last.
    return phone_sim::startNotifier();
}

void logStart() {
    char pid[16];
    std::snprintf(pid, sizeof pid, "%08lX", GetCurrentProcessId());
    phone_sim::logLine(std::string("start ") + pid + " " + phone_sim::escapeBytes(GetCommandLineA()));
}

void takeCard(const char* path) {
    std::string contents;
    if (phone_sim::readCard(path, &contents))
        phone_sim::receiveCard("arg", contents);
    else
        phone_sim::logLine("card arg 0 unreadable " + phone_sim::escapeBytes(path));
}

int serve(HINSTANCE module, const char* cardPath) {
    if (!startServing(module)) return 1;
    logStart();
    if (cardPath) takeCard(cardPath);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    // The window goes first: nobody finds a phone that no longer answers.
    DestroyWindow(phone_sim::phoneWindow());
    phone_sim::stopServer();
    phone_sim::stopNotifier();
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int) {
    int exitCode = 0;
    if (phone_sim::runCommandLine(__argc, __argv, &exitCode)) return exitCode;
    const char* cardPath = __argc >= 2 ? __argv[1] : nullptr;

    // The serving instance owns the mutex until it has stopped serving; a
    // later start hands its card over, or takes over from one that ends.
    const HANDLE onlyInstance = CreateMutexA(nullptr, TRUE, instanceMutexName);
    if (!onlyInstance) return 1;
    const bool first = GetLastError() != ERROR_ALREADY_EXISTS;
    if (first || !phone_sim::handOverCard(onlyInstance, cardPath, &exitCode)) {
        exitCode = serve(module, cardPath);
        ReleaseMutex(onlyInstance);
    }
    CloseHandle(onlyInstance);
    return exitCode;
}
