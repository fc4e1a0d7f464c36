// The library's one interface to the platform: the kernel, the C runtime's
// text files, the shell and DDEML. Everything the library asks of Windows goes
// through these plain functions; platform_win32.cpp implements them over the
// real API, and the host test double implements them in memory. No platform
// type crosses this line: handles are opaque pointers or integers.
#pragma once

#include <cstdint>

#include "KestrovaAPI.h"

// --- Kernel --------------------------------------------------------------

// Copies the temporary directory into buffer (capacity bytes) as
// GetTempPathA does: with capacity 0 and no buffer returns the length
// needed including the terminator; otherwise the length written without
// the terminator, or the length needed if it did not fit; 0 on failure.
// The text names the directory exactly in the ANSI code page, in its short
// form if need be; a directory with no such name fails the fetch, not the
// length query.
uint32_t platformTempPath(uint32_t capacity, char* buffer);

uint32_t platformProcessId();

// Milliseconds from a clock that never goes back (GetTickCount). It wraps
// around after about 49.7 days: only the unsigned difference of two readings
// means anything.
uint32_t platformMilliseconds();

// --- C runtime text files ------------------------------------------------

struct PlatformFile;

// Creates or truncates the file for writing in text mode, where every line
// feed is stored as carriage return plus line feed. nullptr on failure.
PlatformFile* platformOpenText(const char* path);
// Writes count one-byte items and returns how many were written. The items
// may wait in a buffer until the file is closed.
int32_t platformWrite(PlatformFile* file, const char* bytes, int32_t count);
// Flushes and closes the file. False when any buffered item did not reach it
// (a full disk): only then is a write known to be whole.
bool platformClose(PlatformFile* file);

// --- Shell ---------------------------------------------------------------

// Performs the shell's "dial" verb on the file, minimised, with empty
// parameters. Returns the shell's result: above 32 on success.
int32_t platformShellDial(const char* path);

// --- The observer --------------------------------------------------------

// Calls the caller's observer. On 32-bit x86 the stack pointer is put back
// afterwards whoever removed the arguments, so an observer declared stdcall
// by mistake (it removes them itself) works as a cdecl one does.
void platformCallObserver(ObserverCallback observer, int32_t count, char** tokens);

// --- DDEML ---------------------------------------------------------------

struct DdeName;          // a string handle; equal texts give equal handles
struct DdeConversation;  // a client conversation
struct DdeData;          // incoming transaction data, owned by DDEML

// Transaction types, as DDEML numbers them.
enum : uint32_t {
    ddeConnect = 0x1062,
    ddeConnectConfirm = 0x8072,
    ddeExecute = 0x4050,
    ddePoke = 0x4090,
    ddeRequest = 0x20B0,
};
// Data transaction results: processed, or not processed.
enum : uint32_t { ddeAck = 0x8000, ddeNotProcessed = 0 };

// Creates an instance whose transactions reach linkCallback and which sees
// connections only for service names it registered. Writes the instance id
// and returns 0, or returns non-zero and leaves it 0.
int32_t ddeInitialize(uint32_t* instance);
DdeName* ddeCreateName(uint32_t instance, const char* text);
void ddeFreeName(uint32_t instance, DdeName* name);
// Lets other applications connect to the service.
void ddeRegisterService(uint32_t instance, DdeName* service);
// nullptr when nobody serves the service and topic.
DdeConversation* ddeConnectTo(uint32_t instance, DdeName* service, DdeName* topic);
// Sends length bytes as a synchronous execute transaction (no item, format
// 0) and waits up to timeoutMs. True when the partner accepted it in time.
bool ddeExecuteCommand(DdeConversation* conversation, const char* bytes, int32_t length,
                       uint32_t timeoutMs);
// Whether the conversation still has its partner: false once the partner
// has ended it, or has ended without ending it (a crash).
bool ddeConversationAlive(DdeConversation* conversation);
// Returns and clears the instance's last error.
uint32_t ddeLastError(uint32_t instance);
// Ends every conversation of the instance and withdraws its services.
void ddeUninitialize(uint32_t instance);
// Copies at most capacity bytes of the data; returns how many (0: none).
uint32_t ddeGetData(DdeData* data, char* buffer, uint32_t capacity);

// Implemented by the library, called by the platform for every transaction
// aimed at the instance. For connections, topic and service are the names
// asked for; for data transactions, data holds the bytes. Returns 1 or 0
// for connections, ddeAck or ddeNotProcessed for data, 0 otherwise.
uint32_t linkCallback(uint32_t type, DdeName* topic, DdeName* service, DdeData* data);

// --- Threads and deferred work -------------------------------------------

struct PlatformThread;  // a hold on one thread, kept until released

// The calling thread's id, never 0.
uint32_t platformThreadId();
// Holds the calling thread; nullptr on failure. While a thread is held its
// id is given to no other thread, also once it has ended, so the id names
// that one thread.
PlatformThread* platformHoldThisThread();
void platformReleaseThread(PlatformThread* thread);
// True when the held thread has ended.
bool platformThreadEnded(PlatformThread* thread);
// Has call run once on the calling thread the next time that thread
// dispatches window messages (a one-shot thread timer), outside whatever is
// running now. While one is waiting, a second request adds nothing.
void platformCallSoon(void (*call)());
// Drops the waiting call, if any. Only on the thread that asked for it: a
// thread timer is known by a number that another thread may use as well.
void platformCancelCallSoon();
// Forgets the waiting call of a thread that has ended, on any thread. Its
// timer ended with it; nothing is killed.
void platformForgetCallSoon();
