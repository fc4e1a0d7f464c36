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
 *                            5 seconds, kestrovaRemoveObserver was given a
 *                            callback that is not the registered observer,
 *                            or the call was refused at once: it came from a
 *                            thread that does not own the link, or while
 *                            another call waits for the phone application
 *                            (see Threads and re-entrancy).
 *   KESTROVA_NO_RESOURCE -2  The temporary directory could not be read, memory
 *                            for its path could not be had, or the DDE
 *                            instance could not be created.
 *   KESTROVA_NO_FILE     -3  The hand-off file could not be created (while
 *                            another program holds it, the library tries
 *                            again for about 200 ms first).
 *   1 .. 32                  The shell's "dial" action failed; this is the
 *                            shell's own error (for example 31,
 *                            SE_ERR_NOASSOC: no phone application is
 *                            registered for the "dial" verb on .vcf files).
 *                            A shell failure reported as 0 reads as success.
 *
 * Threads and re-entrancy. The library starts no thread and takes no lock;
 * do not call it from two threads at the same time. The link to the phone
 * application belongs to the thread that made it, with the first
 * kestrovaHookOff, kestrovaHangUp or kestrovaAddObserver call after load or
 * after the link was closed. DDE serves the link only on that
 * thread, so notifications reach the observer there, and only while that
 * thread dispatches window messages (GetMessage/DispatchMessage or similar)
 * or waits in one of those three calls for the phone application.
 *
 *   On the link's thread, or while there is no link: every function works
 *   as described below.
 *   On any other thread while the link exists: kestrovaHookOff,
 *   kestrovaHangUp and kestrovaAddObserver return -1 at once, without the
 *   hand-off; so does kestrovaRemoveObserver, changing nothing, unless the
 *   link's thread has ended: then DDE has ended the link with it, and
 *   kestrovaRemoveObserver forgets it and returns as on the link's thread
 *   (0 for the observer, or NULL if there is none; -1 for another
 *   callback, which forgets the link too if its observer had removed
 *   itself), touching nothing of the calling thread; after that any thread
 *   may make a new link. Until then the library holds the ended thread, so
 *   that the system gives its thread id to no other thread. Call
 *   kestrovaRemoveObserver on the link's thread before that thread ends.
 *   kestrovaDial and kestrovaStartup work on any thread.
 *   Inside the observer, and in anything else that runs while a call waits
 *   for the phone application (a window procedure the wait dispatches):
 *     kestrovaDial, kestrovaStartup: as anywhere.
 *     kestrovaHookOff, kestrovaHangUp, kestrovaAddObserver: as anywhere,
 *       except while one of them is waiting for the phone application (a
 *       notification can arrive during that wait): then they return -1 at
 *       once, without the hand-off, and the waiting call goes on to return
 *       its own result.
 *     kestrovaRemoveObserver: removes the observer at once - no later
 *       notification reaches it, and the current one is answered as not
 *       processed - and returns 0. The link is closed once DDE is done with
 *       the notification and any waiting command: when the waiting command
 *       returns, when the thread next dispatches messages, or at the next
 *       call of any of the six functions on that thread, which closes it
 *       first. A kestrovaAddObserver that succeeds before then keeps the
 *       link.
 * Before unloading the DLL, close the link: call kestrovaRemoveObserver on
 * the link's thread, outside the observer. If the observer removed itself
 * and the message loop ended before the link was closed, that call closes
 * it, whatever the callback: it returns -1 for the callback that removed
 * itself (no longer the observer) and 0 for NULL.
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
 * tokens[1] .. tokens[count - 1] its arguments in order; tokens[count] is
 * NULL. The strings and the table belong to the library and are valid only
 * during the call: copy what you want to keep. The table is the observer's
 * own copy, which it may reorder or overwrite. The observer runs on the
 * link's thread and may call the library (see Threads and re-entrancy).
 * Declare it cdecl, as here. The 32-bit DLL also serves an observer that is
 * stdcall (as 32-bit VBA's AddressOf procedures and the default callbacks
 * of some languages are): it restores its own stack after every call.
 */
typedef void(KESTROVA_CALL *ObserverCallback)(int count, char **tokens);

/*
 * Places a call: writes a vCard 2.1 card holding name and number to
 * "kestrova.vcf" in the temporary directory and asks the shell to perform the
 * "dial" action on it, which starts the phone application if needed. A null
 * name or number is written as empty text. Name and number together may hold
 * at most 969 characters; longer ones return KESTROVA_FAILED and write and
 * dial nothing.
 * Returns once the shell has handed the file over; the phone application
 * reads it after that. Any request may follow at once: for 10 seconds after
 * a dial the shell accepted, kestrovaStartup, kestrovaHookOff, kestrovaHangUp
 * and kestrovaAddObserver leave the file alone, as the dial has just started
 * the phone application. Two dials share the one file: a second dial made
 * before the phone application read the first card replaces it, and the
 * second number is the one dialled.
 * Returns 0, -1, -2, -3 or the shell's error (1 .. 32).
 */
int KESTROVA_CALL kestrovaDial(const char *name, const char *number);

/*
 * Starts the phone application if it is not running, by handing it a
 * placeholder card (name "0", number "0") the same way kestrovaDial does.
 * Does not wait for it to be ready. Within 10 seconds of a dial the shell
 * accepted, it returns 0 and touches nothing: that dial started the phone
 * application, and the placeholder would replace the dialled card before the
 * phone application can have read it.
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
 * returns -1 until kestrovaRemoveObserver closes the link. Returns -1 at
 * once, before the hand-off, on a thread that does not own the link, and
 * inside the observer while another call waits for the phone application.
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
 * On the link's thread it first closes a link whose close an observer that
 * removed itself left pending, even when it then returns -1.
 * Inside the observer, or while a call waits for the phone application, the
 * observer goes at once and the link closes as soon as DDE is done with it. On a thread that does
 * not own the link it returns -1 and changes nothing, unless that thread has
 * ended (see Threads and re-entrancy).
 */
int KESTROVA_CALL kestrovaRemoveObserver(ObserverCallback observer);

#ifdef __cplusplus
}
#endif

#endif /* KESTROVA_API_H */
