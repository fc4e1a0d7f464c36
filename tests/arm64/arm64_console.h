/* What the ARM64 test programs share. They run without a C runtime (there
 * is none for ARM64 Windows here): the entry point is their own, output goes
 * straight to the standard handle, and text is formatted with wsprintfA
 * alone, never a va_list function, which Debian's arm64 Wine passes on
 * wrongly. */
#ifndef ARM64_CONSOLE_H
#define ARM64_CONSOLE_H

#include <windows.h>

/* One line of output, at most this long before the cut. */
#define LINE_SIZE 512

static __inline void writeText(const char *text) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)lstrlenA(text), &written, NULL);
}

/* Appends count bytes to the file at path; FALSE if it could not. */
static __inline BOOL appendToFile(const char *path, const char *bytes, DWORD count) {
    DWORD written = 0;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    WriteFile(file, bytes, count, &written, NULL);
    CloseHandle(file);
    return written == count;
}

/* Handles the messages waiting for this thread, for timeoutMs or until
 * done() holds. */
static __inline BOOL pumpUntil(BOOL (*done)(void), DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    MSG message;
    for (;;) {
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        if (done()) return TRUE;
        if (GetTickCount() - start >= timeoutMs) return FALSE;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
}

#endif
