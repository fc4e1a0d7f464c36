/*
 * Places a call through the phone application and follows it: subscribes to
 * the phone's notifications, dials, takes the line off hook, hangs up and
 * prints every notification as it arrives.
 *
 *   kestrova_demo [name [number]]
 */
#include <stdio.h>
#include <windows.h>

#include "KestrovaAPI.h"

/* Called on this thread while it dispatches messages (see pump). */
static void KESTROVA_CALL onNotification(int count, char **tokens)
{
    int i;
    printf("    phone says: %s", tokens[0]);
    for (i = 1; i < count; ++i) printf("%s \"%s\"", i == 1 ? "" : ",", tokens[i]);
    printf("\n");
    fflush(stdout);
}

/* Dispatches this thread's messages for the given time, as any Windows
 * application's message loop does; notifications arrive only then. */
static void pump(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    DWORD elapsed;
    MSG msg;
    while ((elapsed = GetTickCount() - start) < milliseconds) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, milliseconds - elapsed, QS_ALLINPUT);
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

static int report(const char *what, int result)
{
    printf("%-34s -> %d%s\n", what, result, result == KESTROVA_OK ? " (ok)" : "");
    fflush(stdout);
    return result;
}

/* The first request also starts the phone application, which takes a moment
 * to be ready: retry for a while. Before each retry the link of the failed
 * try is closed: should the phone application quit or crash and start again
 * meanwhile, a retry on that link would reach the one that went, and fail
 * every time. */
static int subscribe(void)
{
    int attempt, result = KESTROVA_FAILED;
    for (attempt = 0; attempt < 40; ++attempt) {
        result = kestrovaAddObserver(onNotification);
        if (result != KESTROVA_FAILED) break;
        kestrovaRemoveObserver(NULL);
        pump(250);
    }
    return result;
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "Ann Example";
    const char *number = argc > 2 ? argv[2] : "+1 555 0100";
    int result;

    printf("KestrovaAPI demo: calling %s at %s\n\n", name, number);
    result = report("kestrovaAddObserver (subscribe)", subscribe());
    if (result > 0) {
        printf("\nNo phone application handles the \"dial\" action on .vcf files.\n");
        return 1;
    }
    if (result != KESTROVA_OK) {
        printf("\nThe phone application could not be reached.\n");
        return 1;
    }
    report("kestrovaDial", kestrovaDial(name, number));
    pump(2500);
    report("kestrovaHookOff (take the line)", kestrovaHookOff());
    pump(1500);
    report("kestrovaHangUp", kestrovaHangUp());
    pump(1500);
    report("kestrovaRemoveObserver", kestrovaRemoveObserver(onNotification));
    printf("\nDone.\n");
    return 0;
}
