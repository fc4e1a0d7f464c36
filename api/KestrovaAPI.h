/*
 * KestrovaAPI - control the telephone that the phone application on this
 * machine operates, and receive that application's event notifications.
 *
 * Plain C; usable from C89 and C++, and by ordinal (1 to 6, in the order of
 * the names: kestrovaAddObserver 1, kestrovaDial 2, kestrovaHangUp 3,
 * kestrovaHookOff 4, kestrovaRemoveObserver 5, kestrovaStartup 6).
 * Every function uses the cdecl convention (the caller removes the
 * arguments) and returns an int result code. The same header serves the
 * 32-bit DLL and the x64 one: x64 Windows has a single calling convention,
 * which compilers use whatever KESTROVA_CALL says, so __cdecl there changes
 * nothing and the names are undecorated in both.
 *
 *   KESTROVA_OK           0  Success.
 *   KESTROVA_FAILED      -1  The temporary directory reported no length, the
 *                            hand-off file was written short, the card would
 *                            not fit, the phone application could not be
 *                            reached, it did not accept the command within
 *                            5 seconds, or kestrovaRemoveObserver was given a
 *                            callback that is not the registered observer.
 *   KESTROVA_NO_RESOURCE -2  The temporary directory could not be read, memory
 *                            for its path could not be had, or the DDE
 *                            instance could not be created.
 *   KESTROVA_NO_FILE     -3  The hand-off file could not be created.
 *   1 .. 32                  The shell's "dial" action failed; this is the
 *                            shell's own error (for example 31,
 *                            SE_ERR_NOASSOC: no phone application is
 *                            registered for the "dial" verb on .vcf files).
 *                            A shell failure reported as 0 reads as success.
 *
 * Threads: the library starts none and takes no locks; call it from one
 * thread at a time. Notifications reach the observer on the thread that made
 * the first kestrovaHookOff, kestrovaHangUp or kestrovaAddObserver call after
 * load (or after kestrovaRemoveObserver), and only while that thread
 * dispatches window messages (GetMessage/DispatchMessage or similar).
 *
 * Text everywhere is 8-bit text in the ANSI code page, passed unchanged.
 */
#ifndef KESTROVA_API_H
#define KESTROVA_API_H

#if defined(_WIN32) && !defined(KESTROVA_CALL)
#define KESTROVA_CALL __cdecl
#elif !defined(KESTROVA_CALL)
#define KESTROVA_CALL
#endif

#define KESTROVA_OK 0
#define KESTROVA_FAILED (-1)
#define KESTROVA_NO_RESOURCE (-2)
#define KESTROVA_NO_FILE (-3)

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The observer: called once per notification with the token count (at least
 * 1) and the tokens, like argc/argv. tokens[0] is the notification name,
 * tokens[1] .. tokens[count - 1] its arguments in order. The strings and the
 * table belong to the library and are valid only during the call: copy what
 * you want to keep.
 */
typedef void(KESTROVA_CALL *ObserverCallback)(int count, char **tokens);

/*
 * Places a call: writes a vCard 2.1 card holding name and number to
 * "kestrova.vcf" in the temporary directory and asks the shell to perform the
 * "dial" action on it, which starts the phone application if needed. A null
 * name or number is written as empty text. Name and number together may hold
 * at most 969 characters; longer ones return KESTROVA_FAILED and write and
 * dial nothing.
 * Returns 0, -1, -2, -3 or the shell's error (1 .. 32).
 */
int KESTROVA_CALL kestrovaDial(const char *name, const char *number);

/*
 * Starts the phone application if it is not running, by handing it a
 * placeholder card (name "0", number "0") the same way kestrovaDial does.
 * Does not wait for it to be ready.
 * Returns 0, -1, -2, -3 or the shell's error (1 .. 32).
 */
int KESTROVA_CALL kestrovaStartup(void);

/*
 * Takes the line off hook: answers a ringing call or opens the line.
 * Runs kestrovaStartup first and returns its result if that is not 0; then
 * connects to the phone application (once; the connection is kept) and sends
 * the command, waiting up to 5 seconds for it to be accepted.
 * Returns 0; -1 if the phone application cannot be reached or did not accept
 * the command; -2 if the DDE instance cannot be created; or a result of
 * kestrovaStartup. Once the phone application has gone away, every call
 * returns -1 until kestrovaRemoveObserver closes the link.
 */
int KESTROVA_CALL kestrovaHookOff(void);

/*
 * Hangs up the current call. Same stages and results as kestrovaHookOff.
 */
int KESTROVA_CALL kestrovaHangUp(void);

/*
 * Subscribes to the phone application's notifications and makes observer the
 * one observer, replacing any earlier one. Same stages and results as
 * kestrovaHookOff; on any failure the earlier observer stays in place.
 */
int KESTROVA_CALL kestrovaAddObserver(ObserverCallback observer);

/*
 * Removes the observer and closes the link to the phone application; the next
 * request builds it afresh. Returns 0, or -1 (changing nothing) if observer is
 * not the registered observer. NULL matches when no observer is registered.
 */
int KESTROVA_CALL kestrovaRemoveObserver(ObserverCallback observer);

#ifdef __cplusplus
}
#endif

#endif /* KESTROVA_API_H */
