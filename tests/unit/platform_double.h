// An in-memory stand-in for the platform, for host tests: each platform
// function reads what the test set up here and records what it was asked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

struct PlatformDouble {
    // Kernel
    std::string tempDirectory = "C:\\Temp\\";
    bool tempLengthFails = false;           // the length query reports 0
    bool tempFetchFails = false;            // the fetch itself reports 0
    uint32_t tempLengthReported = 0;        // if set: what the length query reports
    std::string tempDirectoryOnFetch;       // if set: what the fetch finds instead
    uint32_t processId = 700;
    uint32_t milliseconds = 0;  // the monotonic clock: tests move it on

    // Heap: the allocation with this number (1 = the next one) fails.
    int failAllocation = 0;
    int allocations = 0;
    int liveBlocks = 0;

    // Files
    bool openFails = false;
    int32_t writeLimit = -1;  // >= 0: at most this many items are written
    bool closeFails = false;  // the buffered items do not reach the file
    std::string openedPath;
    std::string fileContents;  // the items written, before text-mode translation
    int opens = 0;
    int openFiles = 0;

    // Shell
    int32_t shellResult = 42;
    std::vector<std::string> dialledPaths;
    std::vector<std::string> dialledCards;  // the file's contents when dialled

    // DDEML
    bool initializeFails = false;
    std::string nameThatFails;  // creating a handle for this text fails
    bool phoneServing = true;   // someone serves "Kestrova"/"Server"
    bool phoneAccepts = true;   // commands are accepted
    uint32_t instance = 0;      // the live instance, 0 if none
    uint32_t lastInstance = 0;
    int initializations = 0;
    int uninitializations = 0;
    int connections = 0;
    int lastErrorFetches = 0;
    std::vector<std::string> registeredServices;
    std::vector<std::string> commands;  // bytes of every execute, as sent
    std::vector<uint32_t> commandTimeouts;  // the wait asked for with each
    std::map<std::string, int> liveNames;  // text -> handles not yet freed
    // Run inside a connection attempt and inside an execute, as the phone
    // application or a window procedure would while the caller waits.
    std::function<void()> duringConnect;
    std::function<void()> duringExecute;
    // Instances ended while DDEML was inside the link's callback or waiting
    // for a command: DDEML would still be using them.
    int unsafeUninitializations = 0;

    // Threads and deferred work
    uint32_t threadId = 1;  // the calling thread's id
    // Ends the thread with this id: holds on it find it ended.
    void endThread(uint32_t id);
    int threadHolds = 0;  // holds on threads not yet released
    void (*soonCall)() = nullptr;  // waiting for the thread's message loop
    uint32_t soonCallThread = 0;   // the thread whose timer it waits on
    int foreignTimerKills = 0;     // cancelled on another thread than its own
    // Runs the waiting call, as the thread's message loop would; false if
    // there was none.
    bool runSoonCall();

    // Plays the phone application's side: a connection request to the
    // library's instance, and a notification as execute, poke or request.
    uint32_t connect(const std::string& service, const std::string& topic);
    uint32_t notify(const std::string& bytes, uint32_t type = ddeExecute);
    uint32_t transaction(uint32_t type);  // with no names and no data

    // The name handle the double gives a text.
    DdeName* nameFor(const std::string& text);
};

PlatformDouble& platformDouble();
// Back to a fresh double, and the library's state back to load state.
void resetPlatformDouble();
