/* The ARM64 DLL end to end, under the emulated arm64 Wine: loaded, its
 * exports found by name and ordinal, a dial handed to the C phone
 * (arm64_phone.c, the "dial" handler), a subscription and its two
 * notifications, a command the phone accepts and one it refuses, and the
 * observer's removal. Prints a line per check; exit code: how many failed. */
#include "arm64_console.h"
#include "KestrovaAPI.h"

#define EXPORT_COUNT 6
#define HANDOFF_WAIT_MS 20000
#define NOTIFICATION_WAIT_MS 10000
#define SEEN_SIZE 512

/* In ordinal order, which is the names' order. */
static const char *const exportNames[EXPORT_COUNT] = {
    "kestrovaAddObserver", "kestrovaDial", "kestrovaHangUp",
    "kestrovaHookOff", "kestrovaRemoveObserver", "kestrovaStartup",
};
enum { addObserver, dial, hangUp, hookOff, removeObserver };

static char cardLog[MAX_PATH];  /* arm64-cards.txt in the current folder, in full */
/* The library writes the card in text mode: lines end in CR LF. */
static const char *const wantedCardLines[] = { "N:;Ada Arm\r\n", "TEL;WORK;VOICE:+1 555 0164\r\n" };
static const char wantedNotifications[] =
    "call|incoming|Ada Arm|+1 555 0164\n"
    "call|ended|Ada Arm|+1 555 0164|remote\n";

static FARPROC exports[EXPORT_COUNT];
static char seen[SEEN_SIZE];  /* the notifications, tokens joined by '|', a line each */
static int failures;

static void check(BOOL passed, const char *what, const char *detail) {
    char line[LINE_SIZE];
    wsprintfA(line, "%s - %s%s%s\n", passed ? "ok" : "FAILED", what, passed ? "" : ": ", passed ? "" : detail);
    writeText(line);
    if (!passed) ++failures;
}

static void checkResult(int result, int wanted, const char *call) {
    char detail[LINE_SIZE];
    wsprintfA(detail, "returned %d, not %d", result, wanted);
    check(result == wanted, call, detail);
}

static void KESTROVA_CALL observe(int count, char **tokens) {
    int i;
    for (i = 0; i < count && lstrlenA(seen) + lstrlenA(tokens[i]) + 2 < SEEN_SIZE; ++i) {
        if (i > 0) lstrcatA(seen, "|");
        lstrcatA(seen, tokens[i]);
    }
    lstrcatA(seen, "\n");
}

static void KESTROVA_CALL neverSubscribed(int count, char **tokens) { (void)count, (void)tokens; }

static BOOL bothNotified(void) { return lstrlenA(seen) >= (int)sizeof wantedNotifications - 1; }

static BOOL cardArrived(void) {
    char text[LINE_SIZE * 2];
    DWORD length = 0;
    unsigned i;
    HANDLE file = CreateFileA(cardLog, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    ReadFile(file, text, sizeof text - 1, &length, NULL);
    CloseHandle(file);
    text[length] = '\0';
    for (i = 0; i < sizeof wantedCardLines / sizeof *wantedCardLines; ++i)
        if (!strstr(text, wantedCardLines[i])) return FALSE;
    return TRUE;
}

static void checkExports(HMODULE library) {
    char detail[LINE_SIZE];
    int i;
    for (i = 0; i < EXPORT_COUNT; ++i) {
        exports[i] = GetProcAddress(library, exportNames[i]);
        wsprintfA(detail, "by name %s, ordinal %d is another function", exports[i] ? "found" : "missing", i + 1);
        check(exports[i] && exports[i] == GetProcAddress(library, MAKEINTRESOURCEA(i + 1)),
              exportNames[i], detail);
    }
}

static void checkCalls(void) {
    int (KESTROVA_CALL *dialTo)(const char *, const char *) = (void *)exports[dial];
    int (KESTROVA_CALL *add)(ObserverCallback) = (void *)exports[addObserver];
    int (KESTROVA_CALL *remove)(ObserverCallback) = (void *)exports[removeObserver];
    int (KESTROVA_CALL *command)(void);

    checkResult(dialTo("Ada Arm", "+1 555 0164"), KESTROVA_OK, "kestrovaDial");
    check(pumpUntil(cardArrived, HANDOFF_WAIT_MS), "the dial handler got the card", "no card with the name and number");
    checkResult(add(observe), KESTROVA_OK, "kestrovaAddObserver");
    pumpUntil(bothNotified, NOTIFICATION_WAIT_MS);
    check(lstrcmpA(seen, wantedNotifications) == 0, "the observer got both notifications", seen);
    command = (void *)exports[hookOff];
    checkResult(command(), KESTROVA_OK, "kestrovaHookOff (accepted)");
    command = (void *)exports[hangUp];
    checkResult(command(), KESTROVA_FAILED, "kestrovaHangUp (refused)");
    checkResult(remove(neverSubscribed), KESTROVA_FAILED, "kestrovaRemoveObserver (another observer)");
    checkResult(remove(observe), KESTROVA_OK, "kestrovaRemoveObserver");
}

void start(void) {
    HMODULE library = LoadLibraryA("KestrovaAPI.dll");
    char detail[LINE_SIZE];
    wsprintfA(detail, "error %lu", GetLastError());
    check(library != NULL, "KestrovaAPI.dll loads", detail);
    if (library) {
        GetFullPathNameA("arm64-cards.txt", MAX_PATH, cardLog, NULL);
        DeleteFileA(cardLog);
        SetEnvironmentVariableA("KESTROVA_CARD_LOG", cardLog);
        checkExports(library);
        if (failures == 0) checkCalls();
        FreeLibrary(library);
    }
    ExitProcess((UINT)failures);
}
