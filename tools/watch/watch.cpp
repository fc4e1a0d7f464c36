// kestrova-watch: shows every notification the phone application sends,
// through KestrovaAPI, as a line of text or a JSON object. Status messages
// go to standard error, the notifications to standard output; with --json
// the phone application's going and coming back go there too, as events.
//
// The library does not notice that the phone application has gone: its
// link just goes quiet. So the watch keeps an eye on the phone application
// through a DDE conversation of its own (phone_presence), and once the
// phone answers again it removes the observer and adds it again, which
// makes the library connect and subscribe afresh. It never subscribes
// before the phone answers: kestrovaAddObserver hands over a card, which
// would start the phone application.
//
// The library delivers notifications on the thread that subscribed, while
// it dispatches messages; a console control handler runs on a thread of its
// own, so it only posts the main thread a message and lets that thread
// remove the observer and end the process.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "KestrovaAPI.h"
#include "console_text.h"
#include "notification_lines.h"
#include "phone_presence.h"

namespace {

constexpr char usage[] =
    "usage: kestrova-watch [--json] [--wait SECONDS]\n"
    "  Subscribes to the phone application's notifications and prints each on a line:\n"
    "  local time, name, arguments. Ctrl+C or closing the console ends it.\n"
    "  --json          one JSON object a line: {\"time\":...,\"name\":...,\"arguments\":[...]}\n"
    "  --wait SECONDS  how long to keep trying while the phone application starts\n"
    "                  (default 30; 0: try once)\n"
    "  If the phone application ends, it says so and subscribes again once it is back\n"
    "  (it never starts it itself); with --json as {\"time\":...,\"event\":\"phone-gone\"\n"
    "  or \"phone-back\",\"message\":...}.\n"
    "exit codes: 0 ended by Ctrl+C, by closing the console or by the end of the pipe\n"
    "it writes to; 1 the phone application did not answer; 2 usage; 3 no application\n"
    "handles \"dial\" on .vcf files; 4 another failure";

constexpr int exitEnded = 0;
constexpr int exitNoAnswer = 1;
constexpr int exitUsage = 2;
constexpr int exitNoDialHandler = 3;
constexpr int exitFailed = 4;

constexpr int shellNoAssociation = 31;  // SE_ERR_NOASSOC
constexpr DWORD retryEveryMs = 1000;
// While the phone application starts, a try to subscribe comes once it
// answers, or this long after the last: each try hands over a card of its
// own, whose process reads the hand-off file whenever it is up, perhaps
// after a dial rewrote the file.
constexpr DWORD startAgainAfterMs = 10000;
// How often it looks whether the phone application is still there, or back.
constexpr DWORD probeEveryMs = 1000;
constexpr DWORD defaultWaitSeconds = 30;
// Windows ends a process this long after its handler returns from a close event.
constexpr DWORD closeGraceMs = 4500;
constexpr UINT stopMessage = WM_APP + 1;

struct Options {
    bool json = false;
    DWORD waitSeconds = defaultWaitSeconds;
};

Options options;
DWORD mainThread = 0;
volatile LONG stopRequested = 0;

void requestStop(DWORD event);

// ---- Output --------------------------------------------------------------------------

void write(DWORD standardHandle, const std::string& text, UINT codePage) {
    if (tools::writeText(GetStdHandle(standardHandle), text, codePage) ||
        standardHandle != STD_OUTPUT_HANDLE)
        return;
    // Whoever read the notifications has gone (a pipe into head, say): done.
    // Windows says ERROR_NO_DATA or ERROR_BROKEN_PIPE, Wine ERROR_PIPE_NOT_CONNECTED.
    const DWORD error = GetLastError();
    if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
        requestStop(0);
}

void say(const std::string& text) { write(STD_ERROR_HANDLE, "kestrova-watch: " + text + "\n", CP_ACP); }

// ---- Notifications ---------------------------------------------------------------

// Local time minus UTC, in minutes, now.
int utcOffsetMinutes(const SYSTEMTIME& utc, const SYSTEMTIME& local) {
    FILETIME utcTime;
    FILETIME localTime;
    SystemTimeToFileTime(&utc, &utcTime);
    SystemTimeToFileTime(&local, &localTime);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                      t.dwLowDateTime);
    };
    return static_cast<int>((ticks(localTime) - ticks(utcTime)) / (10000000LL * 60));
}

struct Now {
    SYSTEMTIME local;
    int offsetMinutes;
};

Now now() {
    SYSTEMTIME utc;
    Now at;
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &at.local)) at.local = utc;
    at.offsetMinutes = utcOffsetMinutes(utc, at.local);
    return at;
}

void KESTROVA_CALL onNotification(int count, char** tokens) {
    const Now at = now();
    if (options.json)
        write(STD_OUTPUT_HANDLE,
              watch::jsonLine(at.local, at.offsetMinutes, count, tokens, GetACP()) + "\n", CP_UTF8);
    else
        write(STD_OUTPUT_HANDLE, watch::plainLine(at.local, count, tokens) + "\n", CP_ACP);
}

// What the watch saw of the phone application: a status line, or with
// --json an event among the notifications.
void tell(const char* event, const std::string& message) {
    if (!options.json) {
        say(message);
        return;
    }
    const Now at = now();
    write(STD_OUTPUT_HANDLE, watch::jsonEvent(at.local, at.offsetMinutes, event, message) + "\n",
          CP_UTF8);
}

// ---- Ending ----------------------------------------------------------------------------

void requestStop(DWORD event) {
    InterlockedExchange(&stopRequested, 1);
    PostThreadMessageA(mainThread, stopMessage, event, 0);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    requestStop(event);
    // After a close event the process ends once this returns: give the main
    // thread the time to remove the observer and exit by itself.
    if (event == CTRL_CLOSE_EVENT) Sleep(closeGraceMs);
    return TRUE;
}

bool stopping() { return InterlockedCompareExchange(&stopRequested, 0, 0) != 0; }

// Dispatches messages for ms, or until a stop is asked for.
void pumpFor(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        const DWORD elapsed = GetTickCount() - start;
        if (stopping() || elapsed >= ms) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

// ---- Subscribing ------------------------------------------------------------------

// Whether onNotification is the library's observer.
bool registered = false;
// The last failure to subscribe again that was told, to tell each once.
int toldFailure = KESTROVA_OK;

// Why kestrovaAddObserver failed, for a result other than -1 and 31.
std::string failureText(int result) {
    return result == KESTROVA_NO_RESOURCE ? "the DDE instance could not be created (result -2)"
           : result == KESTROVA_NO_FILE
               ? "the hand-off card could not be written to the temporary directory (result -3)"
               : "the shell could not start the phone application (error " +
                     std::to_string(result) + ")";
}

// Whether the phone application answers now; one that answered before and
// went is looked for afresh.
bool phoneAnswers() { return watch::phoneStillConnected() || watch::connectToPhone(); }

// Subscribes, trying again while the phone application does not answer
// (it may be starting). Returns the exit code to end with, or -1 once
// subscribed.
int subscribe() {
    const DWORD start = GetTickCount();
    const DWORD limitMs = options.waitSeconds * 1000;
    bool announced = false;
    for (;;) {
        const int result = kestrovaAddObserver(onNotification);
        if (result == KESTROVA_OK) {
            registered = true;
            say("subscribed; every notification follows, a line each (Ctrl+C ends)");
            return -1;
        }
        if (stopping()) return exitEnded;
        if (result == shellNoAssociation) {
            say("no application handles the \"dial\" action on .vcf files, so the phone "
                "application cannot be started: install it, or run kestrova-phone-sim register");
            return exitNoDialHandler;
        }
        if (result != KESTROVA_FAILED) {
            say(failureText(result));
            return exitFailed;
        }
        if (GetTickCount() - start >= limitMs) {
            say("the phone application did not answer within " + std::to_string(options.waitSeconds) +
                " s: is it installed, and does it serve \"Kestrova\"?");
            return exitNoAnswer;
        }
        // The link may hold a conversation with a phone application that
        // went away meanwhile (it refused or timed out, then restarted):
        // close it, so that the next try reaches the one that serves now.
        kestrovaRemoveObserver(nullptr);
        if (!announced) {
            say("waiting for the phone application to start (up to " +
                std::to_string(options.waitSeconds) + " s)...");
            announced = true;
        }
        const DWORD tried = GetTickCount();
        do {
            pumpFor(retryEveryMs);
            if (stopping()) return exitEnded;
        } while (GetTickCount() - tried < startAgainAfterMs && GetTickCount() - start < limitMs &&
                 !phoneAnswers());
    }
}

// ---- Following the phone application -----------------------------------------

// Subscribes afresh to a phone application that answers again: the
// library's link still leads to the one that went, so it is closed first.
// True once subscribed.
bool subscribeAgain() {
    kestrovaRemoveObserver(registered ? onNotification : nullptr);
    registered = false;
    const int result = kestrovaAddObserver(onNotification);
    if (result == KESTROVA_OK) {
        registered = true;
        toldFailure = KESTROVA_OK;
        return true;
    }
    if (result != toldFailure) {
        const std::string why =
            result == KESTROVA_FAILED ? "it did not accept the subscription (result -1)"
            : result == shellNoAssociation
                ? "no application handles the \"dial\" action on .vcf files (error 31)"
                : failureText(result);
        say("the phone application answers again, but subscribing failed: " + why +
            "; trying again every second");
    }
    toldFailure = result;
    return false;
}

// Until a stop is asked for: every probeEveryMs, while subscribed, looks
// whether the phone application is still there; once it has gone, whether
// it answers again, and then subscribes again.
void follow() {
    bool following = watch::connectToPhone();
    if (!following) tell("phone-gone", "phone application gone; waiting for it");
    for (;;) {
        pumpFor(probeEveryMs);
        if (stopping()) return;
        if (following) {
            if (watch::phoneStillConnected()) continue;
            following = false;
            tell("phone-gone", "phone application gone; waiting for it");
            // One that is quitting may answer for a moment yet, and
            // subscribing to it would start a new one: look a probe later.
            continue;
        }
        if (!watch::connectToPhone()) continue;
        following = subscribeAgain();
        if (following)
            tell("phone-back", "phone application back; subscribed again");
        else
            watch::forgetPhone();  // it may go again before the next try: look afresh
    }
}

bool parseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--json") {
            options.json = true;
        } else if (option == "--wait" && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long seconds = std::strtoul(argv[++i], &end, 10);
            if (!*argv[i] || *end || seconds > 24 * 3600) return false;
            options.waitSeconds = static_cast<DWORD>(seconds);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "/?")) {
        write(STD_OUTPUT_HANDLE, std::string(usage) + "\n", CP_ACP);
        return exitEnded;
    }
    if (!parseOptions(argc, argv)) {
        write(STD_ERROR_HANDLE, std::string(usage) + "\n", CP_ACP);
        return exitUsage;
    }

    mainThread = GetCurrentThreadId();
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue the handler posts to
    SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C is off in a process started in a new group
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);

    const int failed = subscribe();
    if (failed < 0) {
        follow();
        watch::forgetPhone();
        kestrovaRemoveObserver(registered ? onNotification : nullptr);
        say("ended; observer removed");
    } else if (failed == exitEnded) {
        kestrovaRemoveObserver(nullptr);  // the link may be half made
    }
    ExitProcess(static_cast<UINT>(failed < 0 ? exitEnded : failed));
}
