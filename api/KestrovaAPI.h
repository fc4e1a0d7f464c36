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
 * Result codes. Each function below lists every code it can return and
 * what each means for it; in short:
 *
 *   KESTROVA_OK           0  Success.
 *   KESTROVA_FAILED      -1  The request failed: the card would not fit or
 *                            did not reach the disk whole, the phone
 *                            application could not be reached or did not
 *                            accept the command, the call was refused at
 *                            once, or kestrovaRemoveObserver was given a
 *                            callback that is not the observer.
 *   KESTROVA_NO_RESOURCE -2  Something the library needs could not be had:
 *                            the temporary directory, memory, the DDE
 *                            instance, a name handle, a handle on the
 *                            calling thread.
 *   KESTROVA_NO_FILE     -3  The hand-off file could not be created.
 *   1 .. 32                  The shell's "dial" action failed; this is the
 *                            shell's own error (for example 31,
 *                            SE_ERR_NOASSOC: no application is registered
 *                            for the "dial" verb on .vcf files). A shell
 *                            failure reported as 0 reads as success.
 *
 * The hand-off. kestrovaDial writes a card to "kestrova.vcf" in the
 * temporary directory and asks the shell to "dial" it. kestrovaStartup
 * hands over a placeholder card the same way, which starts the phone
 * application if it is not running. kestrovaHookOff, kestrovaHangUp and
 * kestrovaAddObserver do so first when the phone application does not
 * answer; one that answers is handed nothing, so that no process of its
 * started for the placeholder reads a card dialled right after. Every
 * hand-off of this process can return:
 *   -1  the temporary directory reported no length; or the card did not
 *       reach the file whole (a short write, or a full disk, seen when the
 *       file is flushed and closed): the shell is not asked to dial it;
 *   -2  the temporary directory could not be read, or memory for its path
 *       could not be had. A temporary directory whose name the ANSI code
 *       page cannot write is handed over in its short (8.3) form; where
 *       neither form can be written, the hand-off returns -2;
 *   -3  the hand-off file could not be created. One hand-off at a time
 *       writes it: while another program holds it (its own hand-off at
 *       the same moment, or a reader that lets no writer in), the library
 *       tries again for about 200 ms first;
 *   1 .. 32  the shell's error.
 *
 * The dial window. The shell returns before the phone application has read
 * the card. So that a request made at once after kestrovaDial cannot
 * replace the dialled card, for 10 seconds after a dial the shell accepted
 * this process's placeholder hand-offs are skipped and count as done (0):
 * the dial has just started the phone application, which is all the
 * placeholder does. The window is per process: a hand-off from another
 * process within it (a second integration, kestrova-watch) can still
 * replace a card that is not read yet.
 *
 * The observer should return quickly. It runs inside the DDE transaction
 * that delivers the notification, and the phone application waits for its
 * acknowledgement before it goes on (the phone simulator gives up after
 * 5 seconds). A MessageBox or any other modal wait in the observer holds the
 * phone application up for as long as it is open. Record what you need and
 * act on it after the observer has returned: post a message, set a timer.
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
 * NULL. The phone application sends each notification as text, a name and
 * a parenthesised, comma-separated argument list, usually in square
 * brackets: [call("ringing","Ann Example","+1 555 0100")] gives the tokens
 * call, ringing, Ann Example and +1 555 0100. Brackets are removed only as
 * a pair; without a "(" the whole text is the name. An argument in double
 * quotes may hold "," and ")" but no double quote, and is followed by ","
 * or ")"; spaces are kept as they are; empty unquoted arguments are
 * dropped ([f(a,,b)] gives f, a, b); the list ends at the first ")" outside
 * quotes, and what follows is ignored.
 * A notification of more than 1023 bytes or more than 100 tokens (its
 * name and 99 arguments), or one that cannot be parsed, reaches no observer
 * and is answered as not processed: nothing arrives cut short.
 * The strings and the table belong to the library and are valid only
 * during the call: copy what you want to keep. The table is the observer's
 * own copy, which it may reorder or overwrite. The observer runs on the
 * link's thread and may call the library (see Threads and re-entrancy).
 * It should return quickly (see The observer should return quickly above).
 * Nothing may leave it by an exception or a longjmp: it is called from
 * within DDE, through the library's C code.
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
 * at most 969 bytes (fewer characters where the ANSI code page takes more
 * than one byte for some).
 * Name and number are written unchanged, control characters included: a
 * carriage return or line feed in either adds lines to the card, such as a
 * second TEL line, and which number the phone application then dials is its
 * own choice. Remove them from text of untrusted origin (a CRM field, an
 * e-mail, a caller's name from a notification) before dialling.
 * Returns once the shell has handed the file over; the phone application
 * reads it after that. Any request of this process may follow at once (see
 * The dial window). Two dials share the one file: a second dial made before
 * the phone application read the first card replaces it, and the second
 * number is the one dialled.
 * Works on any thread and never touches the link to the phone application.
 * Returns:
 *   0        the shell accepted the card;
 *   -1       name and number exceed 969 bytes: nothing is written or
 *            dialled; or the hand-off's -1 (see The hand-off);
 *   -2, -3   see The hand-off;
 *   1 .. 32  the shell's error, e.g. 31: no application handles "dial" on
 *            .vcf files.
 */
int KESTROVA_CALL kestrovaDial(const char *name, const char *number);

/*
 * Starts the phone application if it is not running, by handing it a
 * placeholder card (name "0", number "0") the same way kestrovaDial does.
 * Does not wait for it to be ready. Within 10 seconds of a dial of this
 * process that the shell accepted, it returns 0 and touches nothing (see
 * The dial window).
 * Works on any thread and never touches the link to the phone application.
 * Returns:
 *   0           the shell accepted the card, or the dial window is open;
 *   -1, -2, -3  see The hand-off;
 *   1 .. 32     the shell's error.
 */
int KESTROVA_CALL kestrovaStartup(void);

/*
 * Takes the line off hook: answers a ringing call or opens the line.
 * Connects to the phone application (once; the connection is kept). If it
 * does not answer, or has gone since the connection was made, runs the
 * placeholder hand-off of kestrovaStartup first (see The hand-off) and
 * returns its result if not 0. Then sends the command, waiting up to
 * 5 seconds for it to be accepted.
 * Returns:
 *   0        the phone application accepted the command;
 *   -1       refused at once, before the hand-off: the call came from a
 *            thread that does not own the link, or from inside the
 *            observer (or a message dispatched meanwhile) while another
 *            call waits for the phone application;
 *            or the phone application could not be reached: it does not
 *            serve yet (it is still starting: try again after a moment,
 *            dispatching messages meanwhile) or not at all;
 *            or it did not accept the command within 5 seconds;
 *            or the phone application has gone away since the link was
 *            made: every call returns -1 until kestrovaRemoveObserver
 *            closes the link, and the next call connects afresh;
 *            or the hand-off's -1 (see The hand-off);
 *   -2       the DDE instance, one of its name handles or a handle on the
 *            calling thread (which the link keeps) could not be had; or the
 *            hand-off's -2;
 *   -3       see The hand-off;
 *   1 .. 32  the shell's error from the hand-off.
 */
int KESTROVA_CALL kestrovaHookOff(void);

/*
 * Hangs up the current call. The same stages as kestrovaHookOff, with the
 * same results:
 *   0        the phone application accepted the command;
 *   -1       refused at once (another thread owns the link, or another call
 *            waits for the phone application); the phone application could
 *            not be reached, did not accept the command within 5 seconds or
 *            has gone away since the link was made; or the hand-off's -1;
 *   -2       the DDE instance, a name handle or a handle on the calling
 *            thread could not be had; or the hand-off's -2;
 *   -3       see The hand-off;
 *   1 .. 32  the shell's error from the hand-off.
 */
int KESTROVA_CALL kestrovaHangUp(void);

/*
 * Subscribes to the phone application's notifications and makes observer the
 * one observer, replacing any earlier one. The same stages as kestrovaHookOff,
 * the command being the subscription; on any failure the earlier observer
 * stays in place. Notifications then reach the observer on this thread
 * while it dispatches messages.
 * Returns:
 *   0        subscribed;
 *   -1       refused at once (another thread owns the link, or another call
 *            waits for the phone application); the phone application could
 *            not be reached (on a cold start it is still starting), did
 *            not accept the subscription within 5 seconds, or has gone away
 *            since the link was made; or the hand-off's -1. Before trying
 *            again, close the stale link with kestrovaRemoveObserver (the
 *            registered observer, or NULL if there is none), and dispatch
 *            messages for a moment;
 *   -2       the DDE instance, a name handle or a handle on the calling
 *            thread could not be had; or the hand-off's -2;
 *   -3       see The hand-off;
 *   1 .. 32  the shell's error from the hand-off, e.g. 31: no application
 *            handles "dial" on .vcf files.
 */
int KESTROVA_CALL kestrovaAddObserver(ObserverCallback observer);

/*
 * Removes the observer and closes the link to the phone application; the next
 * request builds it afresh. NULL matches when no observer is registered, so
 * kestrovaRemoveObserver(NULL) closes a link that commands alone made.
 * On the link's thread it first closes a link whose close an observer that
 * removed itself left pending, even when it then returns -1.
 * Inside the observer, or while a call waits for the phone application, the
 * observer goes at once and the link closes as soon as DDE is done with it.
 * Hands nothing over and never starts the phone application.
 * Returns only:
 *   0   removed (or NULL, and no observer was registered): the link is
 *       closed, or will be as soon as DDE is done with it;
 *   -1  observer is not the registered observer, and nothing else changes;
 *       or the call came from a thread that does not own the link while
 *       that thread still runs, and nothing changes (if that thread has
 *       ended, see Threads and re-entrancy).
 */
int KESTROVA_CALL kestrovaRemoveObserver(ObserverCallback observer);

#ifdef __cplusplus
}
#endif

#endif /* KESTROVA_API_H */
