/* A stand-in phone application for the ARM64 tests, in plain C: the shell's
 * "dial" handler and a DDE server of "Kestrova"/"Server". Each start appends
 * the card it was handed to the file KESTROVA_CARD_LOG names. The first one
 * then serves: it accepts [hookoff()] and [subscribe("NAME")], refuses every
 * other command, and answers a subscription with two notifications sent to
 * NAME/"Server". A later start only records its card. */
#include "arm64_console.h"

#include <ddeml.h>

#define CARD_SIZE 2048
#define SUBSCRIBER_SIZE 64
#define NOTIFY_DELAY_MS 50
#define NOTIFICATION_TIMEOUT_MS 5000
#define IDLE_LIMIT_MS 120000

static const char *const notifications[] = {
    "[call(\"incoming\",\"Ada Arm\",\"+1 555 0164\")]",
    "[call(\"ended\",\"Ada Arm\",\"+1 555 0164\",\"remote\")]",
};

static DWORD instance;
static HSZ topic;
static char subscriber[SUBSCRIBER_SIZE];

/* The card file's bytes, appended to the log with a line after them. */
static void recordCard(const char *cardPath) {
    char log[MAX_PATH], card[CARD_SIZE];
    DWORD length = 0;
    HANDLE file;
    if (!GetEnvironmentVariableA("KESTROVA_CARD_LOG", log, sizeof log)) return;
    file = CreateFileA(cardPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, card, CARD_SIZE - 1, &length, NULL);
        CloseHandle(file);
    }
    card[length] = '\0';
    appendToFile(log, card, length);
    appendToFile(log, "--\n", 3);
}

static void CALLBACK notifySubscriber(HWND window, UINT message, UINT_PTR timer, DWORD time) {
    HSZ service = DdeCreateStringHandleA(instance, subscriber, CP_WINANSI);
    HCONV conversation = DdeConnect(instance, service, topic, NULL);
    unsigned i;
    (void)window, (void)message, (void)time;
    KillTimer(NULL, timer);
    for (i = 0; conversation && i < sizeof notifications / sizeof *notifications; ++i) {
        DWORD result = 0;
        DdeClientTransaction((BYTE *)notifications[i], (DWORD)lstrlenA(notifications[i]),
                             conversation, NULL, 0, XTYP_EXECUTE, NOTIFICATION_TIMEOUT_MS, &result);
    }
    if (conversation) DdeDisconnect(conversation);
    DdeFreeStringHandle(instance, service);
}

/* [subscribe("NAME")]: NAME into subscriber; FALSE for anything else. */
static BOOL readSubscription(const char *command) {
    static const char head[] = "[subscribe(\"", tail[] = "\")]";
    const int headLength = sizeof head - 1, tailLength = sizeof tail - 1;
    const int length = lstrlenA(command);
    const int nameLength = length - headLength - tailLength;
    if (nameLength <= 0 || nameLength >= SUBSCRIBER_SIZE) return FALSE;
    if (memcmp(command, head, headLength) != 0 ||
        memcmp(command + length - tailLength, tail, tailLength) != 0)
        return FALSE;
    memcpy(subscriber, command + headLength, nameLength);
    subscriber[nameLength] = '\0';
    return TRUE;
}

static HDDEDATA runCommand(HDDEDATA data) {
    char command[SUBSCRIBER_SIZE * 2];
    const DWORD length = DdeGetData(data, (BYTE *)command, sizeof command - 1, 0);
    command[length < sizeof command ? length : sizeof command - 1] = '\0';
    if (lstrcmpA(command, "[hookoff()]") == 0) return (HDDEDATA)DDE_FACK;
    if (readSubscription(command)) {
        SetTimer(NULL, 0, NOTIFY_DELAY_MS, notifySubscriber);
        return (HDDEDATA)DDE_FACK;
    }
    return (HDDEDATA)DDE_FNOTPROCESSED;
}

static HDDEDATA CALLBACK serve(UINT type, UINT format, HCONV conversation, HSZ topicName,
                               HSZ item, HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2) {
    (void)format, (void)conversation, (void)item, (void)data1, (void)data2;
    switch (type) {
        case XTYP_CONNECT: return (HDDEDATA)(ULONG_PTR)(DdeCmpStringHandles(topicName, topic) == 0);
        case XTYP_EXECUTE: return runCommand(data);
        default: return NULL;
    }
}

/* The card's path: the command line's last argument, in quotes or not. */
static const char *cardPath(char *commandLine) {
    char *last = NULL, *p = commandLine;
    BOOL quoted = FALSE;
    for (; *p; ++p) {
        if (*p == '"') quoted = !quoted, *p = '\0';
        else if (*p == ' ' && !quoted) *p = '\0';
        else if (p == commandLine || p[-1] == '\0') last = p;
    }
    return last;
}

void start(void) {
    const char *card = cardPath(GetCommandLineA());
    MSG message;
    HSZ service;
    CreateMutexA(NULL, TRUE, "KestrovaArm64Phone");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (card) recordCard(card);
        ExitProcess(0);
    }
    if (DdeInitializeA(&instance, serve, APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS, 0) != DMLERR_NO_ERROR)
        ExitProcess(1);
    service = DdeCreateStringHandleA(instance, "Kestrova", CP_WINANSI);
    topic = DdeCreateStringHandleA(instance, "Server", CP_WINANSI);
    DdeNameService(instance, service, NULL, DNS_REGISTER);
    if (card) recordCard(card);  /* serving by now: the card's sender may connect */
    SetTimer(NULL, 0, IDLE_LIMIT_MS, NULL);  /* the test's Wine ends it sooner */
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (message.message == WM_TIMER && !message.lParam) break;
        DispatchMessageA(&message);
    }
    DdeUninitialize(instance);
    ExitProcess(0);
}
