/*
 * Follows the phone application across restarts, as kestrova-watch does:
 * subscribes, prints every notification as it arrives, and when the phone
 * application goes (it quits, crashes or is restarted) says so, waits for it
 * without starting it, and subscribes again once it answers. Ctrl+C ends it.
 *
 *   kestrova_restart
 *
 * The library does not notice that the phone application went: its link
 * just goes quiet, and its commands return -1. So this program keeps an eye
 * on the phone application through a DDE conversation of its own, from a
 * client-only DDEML instance of its own: DdeConnect to "Kestrova"/"Server"
 * succeeds only while the phone application serves. Unlike the library's
 * kestrovaAddObserver, kestrovaHookOff and kestrovaHangUp, which hand over
 * a card first, it starts nothing; so the program subscribes again only
 * once the phone answers, and a phone application that was quit stays quit.
 *
 * Everything runs on the main thread, which made the library's link and
 * dispatches its messages; the console's Ctrl+C handler runs on a thread of
 * its own and only asks the main thread to stop.
 */
#include <stdio.h>
#include <windows.h>
#include <ddeml.h>

#include "KestrovaAPI.h"

#define PROBE_EVERY_MS 1000      /* how often it looks whether the phone is there */
#define FIRST_WAIT_MS 30000      /* how long the first subscription keeps trying (30 s) */
#define CLOSE_GRACE_MS 4500      /* Windows ends the process this long after a close event */
#define SHELL_NO_ASSOCIATION 31  /* SE_ERR_NOASSOC: nothing handles "dial" on .vcf files */

static DWORD mainThread;
static volatile LONG stopRequested;
static BOOL subscribed;  /* onNotification is the library's observer */

static void say(const char *text)
{
    printf("%s\n", text);
    fflush(stdout);
}

/* Called on the main thread while it dispatches messages, inside the phone
 * application's DDE transaction: print and return. */
static void KESTROVA_CALL onNotification(int count, char **tokens)
{
    int i;
    printf("phone says: %s", tokens[0]);
    for (i = 1; i < count; ++i) printf("%s \"%s\"", i == 1 ? "" : ",", tokens[i]);
    printf("\n");
    fflush(stdout);
}

/* ---- Ending ------------------------------------------------------------- */

static BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    InterlockedExchange(&stopRequested, 1);
    PostThreadMessageA(mainThread, WM_NULL, 0, 0);  /* wakes the main thread's wait */
    /* After a close event the process ends once this returns: give the main
     * thread the time to remove the observer. */
    if (event == CTRL_CLOSE_EVENT) Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

static BOOL stopping(void)
{
    return InterlockedCompareExchange(&stopRequested, 0, 0) != 0;
}

/* Dispatches the main thread's messages for the given time, or until a stop
 * is asked for: notifications arrive only then. */
static void pumpFor(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    DWORD elapsed;
    MSG msg;
    for (;;) {
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        elapsed = GetTickCount() - start;
        if (stopping() || elapsed >= milliseconds) return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

/* ---- Whether the phone application is there, apart from the library ------ */

static DWORD probe;      /* the program's own DDEML instance, client only */
static HCONV phone;      /* open while the phone application is there */
static BOOL phoneEnded;  /* the phone application ended that conversation */

static HDDEDATA CALLBACK onProbeTransaction(UINT type, UINT format, HCONV conversation, HSZ hsz1,
                                            HSZ hsz2, HDDEDATA data, ULONG_PTR data1,
                                            ULONG_PTR data2)
{
    (void)format, (void)hsz1, (void)hsz2, (void)data, (void)data1, (void)data2;
    if (type == XTYP_DISCONNECT && conversation == phone) phoneEnded = TRUE;
    return NULL;
}

/* Drops the conversation with the instance: under Wine an instance that lost
 * its conversation to a service connects to it no more, so each new try
 * takes a new instance. */
static void forgetPhone(void)
{
    if (probe) DdeUninitialize(probe);  /* ends the conversation too */
    probe = 0;
    phone = NULL;
    phoneEnded = FALSE;
}

/* Opens the conversation unless one is open: TRUE while the phone
 * application serves. */
static BOOL connectToPhone(void)
{
    const UINT flags = APPCMD_CLIENTONLY | CBF_FAIL_ALLSVRXACTIONS | CBF_SKIP_CONNECT_CONFIRMS |
                       CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS;
    HSZ service, topic;
    if (phone) return TRUE;
    if (!probe && DdeInitializeA(&probe, onProbeTransaction, flags, 0) != DMLERR_NO_ERROR) {
        probe = 0;
        return FALSE;
    }
    service = DdeCreateStringHandleA(probe, "Kestrova", CP_WINANSI);
    topic = DdeCreateStringHandleA(probe, "Server", CP_WINANSI);
    phone = DdeConnect(probe, service, topic, NULL);
    DdeFreeStringHandle(probe, service);
    DdeFreeStringHandle(probe, topic);
    return phone != NULL;
}

/* FALSE once the phone application has ended the conversation (Wine marks it
 * terminated and calls no callback), or has crashed: then nothing ends it,
 * and only the phone's window is gone. */
static BOOL phoneStillThere(void)
{
    CONVINFO info;
    ZeroMemory(&info, sizeof info);
    info.cb = sizeof info;
    if (phone && !phoneEnded && DdeQueryConvInfo(phone, QID_SYNC, &info)
        && (info.wStatus & ST_CONNECTED) && !(info.wStatus & ST_TERMINATED)
        && IsWindow(info.hwndPartner))
        return TRUE;
    forgetPhone();
    return FALSE;
}

/* ---- Subscribing ----------------------------------------------------------- */

static void explain(int result)
{
    if (result == SHELL_NO_ASSOCIATION)
        say("no application handles the \"dial\" action on .vcf files: install the phone "
            "application, or run kestrova-phone-sim register");
    else if (result == KESTROVA_FAILED)
        say("the phone application did not accept the subscription (result -1)");
    else
        printf("subscribing failed with result %d\n", result);
    fflush(stdout);
}

/* The first subscription also starts the phone application, which takes a
 * moment to serve: it tries again every second for a while. Before each
 * retry it closes the link of the failed try, which may lead to a phone
 * application that quit or crashed meanwhile. */
static int subscribe(void)
{
    DWORD start = GetTickCount();
    int result;
    for (;;) {
        result = kestrovaAddObserver(onNotification);
        if (result != KESTROVA_FAILED || stopping() || GetTickCount() - start >= FIRST_WAIT_MS)
            return result;
        kestrovaRemoveObserver(NULL);
        pumpFor(PROBE_EVERY_MS);
    }
}

/* Subscribes afresh to a phone application that answers again: the
 * library's link still leads to the one that went, so it is closed first. */
static BOOL subscribeAgain(void)
{
    static int toldFailure = KESTROVA_OK;  /* tells each kind of failure once */
    int result;
    kestrovaRemoveObserver(subscribed ? onNotification : NULL);
    result = kestrovaAddObserver(onNotification);
    subscribed = result == KESTROVA_OK;
    if (!subscribed && result != toldFailure) {
        say("the phone application answers again, but subscribing failed; trying every second");
        explain(result);
    }
    toldFailure = result;
    return subscribed;
}

/* Until a stop is asked for: every second, while subscribed, looks whether
 * the phone application is still there; once it has gone, whether it
 * answers again, and then subscribes again. */
static void follow(void)
{
    BOOL following = connectToPhone();
    if (!following) say("phone application gone; waiting for it");
    for (;;) {
        pumpFor(PROBE_EVERY_MS);
        if (stopping()) return;
        if (following) {
            if (phoneStillThere()) continue;
            following = FALSE;
            say("phone application gone; waiting for it");
            /* One that is quitting may answer for a moment yet, and
             * subscribing to it would start a new one: look a probe later. */
            continue;
        }
        if (!connectToPhone()) continue;
        following = subscribeAgain();
        if (following)
            say("phone application back; subscribed again");
        else
            forgetPhone();  /* it may go again before the next try: look afresh */
    }
}

int main(void)
{
    MSG msg;
    int result;
    mainThread = GetCurrentThreadId();
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);  /* the queue the Ctrl+C handler posts to */
    SetConsoleCtrlHandler(NULL, FALSE);           /* Ctrl+C is off in a new process group */
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);

    result = subscribe();
    if (result != KESTROVA_OK) {
        kestrovaRemoveObserver(NULL);  /* the link of the last try */
        if (stopping()) return 0;
        if (result == KESTROVA_FAILED)
            say("the phone application did not answer within 30 s: is it installed?");
        else
            explain(result);
        return 1;
    }
    subscribed = TRUE;
    say("subscribed; every notification follows (Ctrl+C ends)");
    follow();
    forgetPhone();
    kestrovaRemoveObserver(subscribed ? onNotification : NULL);
    say("ended; observer removed");
    return 0;
}
