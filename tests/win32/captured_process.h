// Runs a program as a script would, with its standard output and error
// captured through pipes, for the tests of the command-line tools.
#pragma once

#include <windows.h>

#include <string>

#include "phone_control.h"

namespace kestrova_test {

class CapturedProcess {
public:
    CapturedProcess() = default;
    ~CapturedProcess() {
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hProcess);
        }
        for (HANDLE pipe : {outRead_, errRead_})
            if (pipe) CloseHandle(pipe);
    }
    CapturedProcess(const CapturedProcess&) = delete;
    CapturedProcess& operator=(const CapturedProcess&) = delete;

    // Starts the command line; flags go to CreateProcess. With
    // noStandardHandles the program gets none at all, as a GUI program
    // started from a console window does.
    bool start(std::string commandLine, DWORD flags = 0, bool noStandardHandles = false) {
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE outWrite = nullptr;
        HANDLE errWrite = nullptr;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        if (!noStandardHandles) {
            // Big enough that the programs never wait for the reader.
            if (!CreatePipe(&outRead_, &outWrite, &inheritable, 1 << 20) ||
                !CreatePipe(&errRead_, &errWrite, &inheritable, 1 << 20))
                return false;
            SetHandleInformation(outRead_, HANDLE_FLAG_INHERIT, 0);
            SetHandleInformation(errRead_, HANDLE_FLAG_INHERIT, 0);
            startup.hStdOutput = outWrite;
            startup.hStdError = errWrite;
        }
        const bool started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags,
                                            nullptr, nullptr, &startup, &process_) != 0;
        for (HANDLE pipe : {outWrite, errWrite})
            if (pipe) CloseHandle(pipe);
        if (started) CloseHandle(process_.hThread);
        return started;
    }

    DWORD id() const { return process_.dwProcessId; }

    // The exit code, dispatching messages meanwhile; STILL_ACTIVE if the
    // program did not end within timeoutMs.
    DWORD wait(DWORD timeoutMs) { return waitForExit(process_.hProcess, timeoutMs); }

    // Everything written, once the program has ended.
    std::string out() { return drain(outRead_); }
    std::string err() { return drain(errRead_); }

private:
    // Reads what the pipe holds without waiting for its end: a process the
    // program started (through the shell, say) may hold the pipe open long
    // after the program has ended.
    static std::string drain(HANDLE pipe) {
        std::string text;
        char buffer[4096];
        DWORD available = 0;
        DWORD got = 0;
        while (pipe && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) &&
               available > 0 && ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
            text.append(buffer, got);
        return text;
    }

    PROCESS_INFORMATION process_{};
    HANDLE outRead_ = nullptr;
    HANDLE errRead_ = nullptr;
};

}  // namespace kestrova_test
