// Drives the phone simulator (tools/phone-sim) from a Win32 test (or benchmark):
// starts it, steers and inspects it through its control channel
// (WM_COPYDATA to its window, see tools/phone-sim/control_channel.h; no DDE, so it
// works whatever the phone's DDE conversations are doing), and keeps the
// calling thread's messages flowing while a test waits for notifications.
//
//   kestrova_test::PhoneControl phone;
//   HANDLE process = kestrova_test::startPhone(); // or let the library start it
//   ASSERT_TRUE(phone.connect());               // retries while it starts
//   phone.rejectCommands(true);
//   ... library calls ...
//   EXPECT_TRUE(phone.waitForLog("command 11 rejected [hookoff()]"));
//   kestrova_test::pumpUntil([&] { return events.size() == 2; }, 5000);
//
// Every wait here dispatches the thread's messages: the library and DDEML
// deliver notifications only while the thread that owns them does so.
// tools/phone-sim/PROTOCOL.md lists the control commands and
// the log's line formats.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "control_channel.h"

namespace kestrova_test {

// Dispatches every message waiting for this thread; a WM_QUIT is put back.
inline void dispatchPendingMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Dispatches this thread's messages for ms milliseconds.
inline void pumpMessagesFor(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        dispatchPendingMessages();
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return;
        MsgWaitForMultipleObjectsEx(0, nullptr, ms - elapsed, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

// Dispatches messages until done() holds or timeoutMs passes; returns done().
// done() is checked after every batch of messages, and at least every pollMs.
template <typename Predicate>
bool pumpUntil(Predicate done, DWORD timeoutMs, DWORD pollMs = 10) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return done();
        const DWORD left = timeoutMs - elapsed;
        pumpMessagesFor(left < pollMs ? left : pollMs);
    }
}

// The phone simulator's Windows path: KESTROVA_PHONE_EXE, which wine-run sets
// from KESTROVA_DIAL_HANDLER (tests registered with DIAL_HANDLER). Empty when
// unset.
inline std::string phoneExePath() {
    char path[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableA("KESTROVA_PHONE_EXE", path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

// Starts a program with the command line, inheriting nothing. Returns the
// process handle for the caller to close, or nullptr.
inline HANDLE startProcess(std::string commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Starts the phone as the shell would, with arguments appended to its quoted
// path (a card path must be quoted by the caller), and waits until it is
// idle, that is serving, or has exited (a second start hands its card over
// and exits). Returns the process handle for the caller to close, or nullptr.
// A start through the library (kestrovaStartup and friends) or through
// ShellExecute "dial" works as well; this one needs no card.
inline HANDLE startPhone(const std::string& arguments = std::string(), DWORD waitMs = 20000) {
    const std::string path = phoneExePath();
    if (path.empty()) return nullptr;
    std::string commandLine = "\"" + path + "\"";
    if (!arguments.empty()) commandLine += " " + arguments;
    const HANDLE process = startProcess(commandLine);
    if (process) WaitForInputIdle(process, waitMs);
    return process;
}

// Waits for a process to end, dispatching messages meanwhile. Returns its
// exit code, or STILL_ACTIVE if it did not end within timeoutMs.
inline DWORD waitForExit(HANDLE process, DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    pumpUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, timeoutMs);
    if (!GetExitCodeProcess(process, &code)) return STILL_ACTIVE;
    return code;
}

// How many processes of the phone's program run: the phone, and the
// hand-off processes that the shell started and that have yet to hand their
// card over.
inline int phoneProcesses() {
    const std::string path = phoneExePath();
    const std::string program = path.substr(path.find_last_of("\\/") + 1);
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        found += lstrcmpiA(entry.szExeFile, program.c_str()) == 0 ? 1 : 0;
    CloseHandle(snapshot);
    return found;
}

inline bool phoneProgramRuns() { return phoneProcesses() > 0; }

// The lines of a log text, without their line feeds.
inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class PhoneControl {
public:
    PhoneControl() = default;

    PhoneControl(const PhoneControl&) = delete;
    PhoneControl& operator=(const PhoneControl&) = delete;

    // Finds the running phone, trying again until timeoutMs passes (it may
    // still be starting). Keeps a phone already found while it lives.
    bool connect(DWORD timeoutMs = 20000) {
        if (connected()) return true;
        pumpUntil(
            [&] {
                phone_ = FindWindowA(phone_sim::phoneWindowClass, nullptr);
                return phone_ != nullptr;
            },
            timeoutMs, 50);
        return phone_ != nullptr;
    }

    bool connected() const { return phone_ != nullptr && IsWindow(phone_); }

    void disconnect() { phone_ = nullptr; }

    // A control command (see PROTOCOL.md); true when the phone carried it out.
    bool command(const std::string& text, DWORD timeoutMs = 10000) {
        return send(phone_sim::copyControlCommand, text, timeoutMs);
    }

    // The text of a query ("log", "state", "subscribers"); empty on failure.
    std::string request(const char* item, DWORD timeoutMs = 10000) {
        if (!send(phone_sim::copyQuery, item, timeoutMs) || !answer_.answered()) return std::string();
        return answer_.text();
    }

    // --- Hooks --------------------------------------------------------------

    // Rejects (DDE_FNOTPROCESSED) every command on the "Server" topic.
    bool rejectCommands(bool on) { return command(on ? "reject on" : "reject off"); }
    // Delays the answer to each "Server" command by ms (0: answer at once).
    bool hang(DWORD ms) { return command("hang " + std::to_string(ms)); }
    // Delay between a dialled call's "dialling" and "ringing" (default 100).
    bool setProgressDelay(DWORD ms) { return command("progress " + std::to_string(ms)); }
    // How long the phone waits for a subscriber's answer (default 5000).
    bool setSendTimeout(DWORD ms) { return command("timeout " + std::to_string(ms)); }
    // Sends text, byte for byte, count times to every subscriber.
    bool notify(const std::string& text, unsigned long count = 1, bool poke = false) {
        return command(std::string("notify ") + (poke ? "poke " : "execute ") +
                       std::to_string(count) + " " + text);
    }
    // Calls that the far end starts, answers or ends. The number is one word.
    bool incomingCall(const std::string& number, const std::string& name) {
        return command("incoming " + number + " " + name);
    }
    bool dial(const std::string& number, const std::string& name) {
        return command("dial " + number + " " + name);
    }
    bool remoteAnswer() { return command("remote answer"); }
    bool remoteHangUp() { return command("remote hangup"); }
    bool clearLog() { return command("clearlog"); }
    // The phone ends after answering.
    bool exitPhone() {
        const bool done = command("exit");
        disconnect();
        return done;
    }

    // --- What the phone knows ----------------------------------------------

    std::string log() { return request("log"); }
    std::vector<std::string> logLines() { return splitLines(log()); }
    // "idle", "offhook", "dialling", "ringing", "incoming" or "connected".
    std::string state() { return request("state"); }
    std::vector<std::string> subscribers() { return splitLines(request("subscribers")); }

    // Lines of the log that start with prefix.
    std::vector<std::string> logLinesStartingWith(const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& line : logLines())
            if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
        return found;
    }

    // The log's last line, or "" when it is empty or cannot be had.
    std::string lastLogLine() {
        const std::vector<std::string> lines = logLines();
        return lines.empty() ? std::string() : lines.back();
    }

    // Waits, dispatching messages, until the log holds text (anywhere).
    bool waitForLog(const std::string& text, DWORD timeoutMs = 10000) {
        return pumpUntil([&] { return log().find(text) != std::string::npos; }, timeoutMs, 50);
    }

    // Waits, dispatching messages, until name is (present) or is no longer
    // (not present) among the phone's subscribers.
    bool waitForSubscriber(const std::string& name, bool present, DWORD timeoutMs = 20000) {
        return pumpUntil(
            [&] {
                const std::vector<std::string> names = subscribers();
                return (std::find(names.begin(), names.end(), name) != names.end()) == present;
            },
            timeoutMs, 5);
    }

    // Waits, dispatching messages, until the phone is in state.
    bool waitForState(const std::string& wanted, DWORD timeoutMs = 10000) {
        return pumpUntil([&] { return state() == wanted; }, timeoutMs, 50);
    }

private:
    // The phone's answer to a query arrives at answer_ while this thread
    // waits in the send.
    bool send(ULONG_PTR kind, const std::string& text, DWORD timeoutMs) {
        DWORD_PTR result = FALSE;
        return connected() && answer_.send(phone_, kind, text, timeoutMs, &result) &&
               result == TRUE;
    }

    phone_sim::AnswerWindow answer_;
    HWND phone_ = nullptr;
};

}  // namespace kestrova_test
