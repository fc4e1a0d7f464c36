// An in-memory stand-in for the platform, for host tests: each platform
// function reads what the test set up here and records what it was asked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

// Every platform call that can fail.
enum class Fallible {
    tempLength,   // the temporary directory's length query reports 0
    tempFetch,    // its fetch reports 0
    heap,         // no block
    open,         // the file cannot be created
    write,        // one item fewer is written
    close,        // the buffered items do not reach the file
    shell,        // the shell answers 32, its highest error
    threadHold,   // the calling thread cannot be held
    ddeInstance,  // DDEML gives no instance
    name,         // DDEML gives no name handle
    connect,      // nobody answers the connection
    execute,      // the command is not accepted
};
const char* fallibleName(Fallible call);

struct PlatformDouble {
    // Faults: one countdown over every fallible call, as the calls come.
    // failCall(n) has the nth call from now fail (1: the next), once, or,
    // fromThenOn, that one and every later one.
    void failCall(int n, bool fromThenOn = false);
    bool faultInjected() const { return !faults.empty(); }
    std::vector<Fallible> faults;  // the calls made to fail, in order

    // Kernel
    std::string tempDirectory = "C:\\Temp\\";
    uint32_t tempLengthReported = 0;        // if set: what the length query reports
    std::string tempDirectoryOnFetch;       // if set: what the fetch finds instead
    uint32_t processId = 700;
    uint32_t milliseconds = 0;  // the monotonic clock: tests move it on

    // Heap
    int allocations = 0;
    int liveBlocks = 0;

    // Files
    std::string openedPath;
    std::string fileContents;  // the items written, before text-mode translation
    int opens = 0;
    int openFiles = 0;

    // Shell
    int32_t shellResult = 42;
    std::vector<std::string> dialledPaths;
    std::vector<std::string> dialledCards;  // the file's contents when dialled

    // DDEML
    bool phoneServing = true;   // someone serves "Kestrova"/"Server", at the end of the conversation too
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
    // Run inside the ending of an instance, as the messages DDEML dispatches
    // while partners end their conversations.
    std::function<void()> duringUninitialize;
    // Instances ended while DDEML was inside the link's callback or waiting
    // for a command: DDEML would still be using them.
    int unsafeUninitializations = 0;

    // Threads and deferred work
    uint32_t threadId = 1;  // the calling thread's id
    // Ends the thread with this id: holds on it find it ended, and DDEML
    // ends the instance made on it.
    void endThread(uint32_t id);
    uint32_t instanceThread = 0;  // the thread the live instance was made on
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

    // Internal: counts a fallible call; true when it is to fail.
    bool fails(Fallible call);
    int callsToFault = 0;  // 0: no fault waiting
    bool faultsGoOn = false;
};

PlatformDouble& platformDouble();
// What is left half done between calls, empty when nothing is: heap blocks,
// open files, name handles, thread holds or timers that are not the link's,
// a DDE instance with no link, a pending close without its timer.
std::string halfDone();
// Back to a fresh double, and the library's state back to load state.
void resetPlatformDouble();
