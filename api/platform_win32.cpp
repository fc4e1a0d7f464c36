// The platform interface over the real Win32 API. This is the only file of
// the library that sees windows.h.

#include <windows.h>
#include <ddeml.h>
#include <shellapi.h>
#include <share.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "heap.h"
#include "platform.h"

// The DLL's entry point, called by the loader directly: the DLL carries no
// compiler runtime start-up code and has nothing to construct or release, so
// at load it only asks not to be called for every thread start and end.
// Without a TLS directory in the DLL, the loader grants that.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}

void* heapTake(std::size_t size) { return std::malloc(size); }
void heapRelease(void* block) { std::free(block); }

namespace {

// The longest temporary directory the system reports (MAX_PATH characters
// and a terminator), and room for it in ANSI text: where the ANSI code page
// is UTF-8, a UTF-16 unit can take three bytes (a double-byte code page
// takes at most two).
constexpr DWORD wideTempPathCapacity = MAX_PATH + 1;
constexpr int maxAnsiBytesPerWideUnit = 3;
constexpr uint32_t ansiTempPathCapacity = maxAnsiBytesPerWideUnit * wideTempPathCapacity;

// Writes wide in the ANSI code page; false when a character has no exact
// ANSI form (a best fit or a "?" would name another folder). UTF-8 writes
// every character exactly, but refuses the best-fit flag and the lossy
// report: asked with them, the conversion fails; asked without them, only
// text that is not valid UTF-16 fails.
bool toAnsi(const wchar_t* wide, char* ansi) {
    constexpr int capacity = static_cast<int>(ansiTempPathCapacity);
    if (GetACP() == CP_UTF8)
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, ansi, capacity,
                                   nullptr, nullptr) > 0;
    BOOL lossy = FALSE;
    const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, ansi, capacity,
                                            nullptr, &lossy);
    return written > 0 && !lossy;
}

enum class TempDirectory { found, unreadable, notAnsi };

// The temporary directory as ANSI text that names it exactly. The file is
// written and handed to the shell by that name, and the phone application,
// perhaps an ANSI program, opens it by the same: a folder whose name the
// code page lacks characters for (a user profile named in another script)
// goes by its short (8.3) form, which the system writes in plain characters.
TempDirectory ansiTempDirectory(char* ansi) {
    wchar_t wide[wideTempPathCapacity];
    const DWORD length = GetTempPathW(wideTempPathCapacity, wide);
    if (length == 0 || length >= wideTempPathCapacity) return TempDirectory::unreadable;
    if (toAnsi(wide, ansi)) return TempDirectory::found;
    wchar_t shortForm[wideTempPathCapacity];
    const DWORD shortLength = GetShortPathNameW(wide, shortForm, wideTempPathCapacity);
    if (shortLength == 0 || shortLength >= wideTempPathCapacity) return TempDirectory::notAnsi;
    return toAnsi(shortForm, ansi) ? TempDirectory::found : TempDirectory::notAnsi;
}

}  // namespace

uint32_t platformTempPath(uint32_t capacity, char* buffer) {
    char ansi[ansiTempPathCapacity];
    switch (ansiTempDirectory(ansi)) {
        case TempDirectory::unreadable:
            return 0;
        case TempDirectory::notAnsi:
            // The directory is there but has no ANSI name: the length query
            // succeeds and the fetch fails, so the hand-off reports the
            // directory as unreadable, not as absent.
            return capacity == 0 ? ansiTempPathCapacity : 0;
        case TempDirectory::found:
            break;
    }
    const auto size = static_cast<uint32_t>(std::strlen(ansi)) + 1;
    if (capacity < size) return size;  // the length query, or a buffer too small
    std::memcpy(buffer, ansi, size);
    return size - 1;
}

uint32_t platformProcessId() { return GetCurrentProcessId(); }

uint32_t platformMilliseconds() { return GetTickCount(); }

namespace {

// Another program's hand-off, or the shell handing the card over, can hold
// the file for a moment; an open that meets it in use tries again for up
// to openAttempts * openRetryMs before it counts as failed.
constexpr int openAttempts = 10;
constexpr DWORD openRetryMs = 20;

bool inUseElsewhere(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

// Denying other writers makes two hand-offs at the same moment take turns
// through the retry: sharing writes, both would truncate the file and write
// from its start, and the longer card's tail would follow the shorter one.
// Readers are let in, as the phone application may read the last card.
PlatformFile* platformOpenText(const char* path) {
    for (int attempt = 1;; ++attempt) {
        FILE* file = _fsopen(path, "wt", _SH_DENYWR);
        if (file || attempt == openAttempts || !inUseElsewhere(GetLastError()))
            return reinterpret_cast<PlatformFile*>(file);
        Sleep(openRetryMs);
    }
}

int32_t platformWrite(PlatformFile* file, const char* bytes, int32_t count) {
    if (count <= 0) return 0;
    return static_cast<int32_t>(
        std::fwrite(bytes, 1, static_cast<size_t>(count), reinterpret_cast<FILE*>(file)));
}

bool platformClose(PlatformFile* file) {
    FILE* const stream = reinterpret_cast<FILE*>(file);
    // A card is far smaller than the runtime's buffer: its bytes reach the
    // disk here, and so does a full disk's failure.
    const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
    return std::fclose(stream) == 0 && flushed;
}

int32_t platformShellDial(const char* path) {
    const HINSTANCE result = ShellExecuteA(nullptr, "dial", path, "", nullptr, SW_MINIMIZE);
    // Pointer-sized: on x64, a success value beyond 32 bits must not be cut
    // down to one that reads as an error code. 32-bit values pass unchanged.
    const INT_PTR value = reinterpret_cast<INT_PTR>(result);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void platformCallObserver(ObserverCallback observer, int32_t count, char** tokens) {
#if defined(__i386__)
    // ESP is kept in ESI, which both conventions preserve, and put back after
    // the call: a stdcall observer has removed its two arguments already, a
    // cdecl one has not. Only registers go in and out, so nothing here is
    // addressed through ESP while it moves. The call is made on a 16-byte
    // aligned stack, which suits observers compiled to expect one.
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "andl $-16, %%esp\n\t"
        "subl $8, %%esp\n\t"
        "pushl %%edx\n\t"
        "pushl %%ecx\n\t"
        "call *%%eax\n\t"
        "movl %%esi, %%esp"
        : "+a"(observer), "+c"(count), "+d"(tokens)  // the call clobbers all three
        :
        : "esi", "memory", "cc");
#else
    observer(count, tokens);
#endif
}

namespace {

HSZ toHandle(DdeName* name) { return reinterpret_cast<HSZ>(name); }
DdeName* toName(HSZ handle) { return reinterpret_cast<DdeName*>(handle); }

// DDEML calls this with its eight arguments; the library needs four.
HDDEDATA CALLBACK dispatchTransaction(UINT type, UINT, HCONV, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                                      ULONG_PTR, ULONG_PTR) {
    const uint32_t result =
        linkCallback(type, toName(hsz1), toName(hsz2), reinterpret_cast<DdeData*>(data));
    return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(result));
}

}  // namespace

int32_t ddeInitialize(uint32_t* instance) {
    DWORD id = 0;
    const UINT status = DdeInitializeA(&id, dispatchTransaction, APPCMD_FILTERINITS, 0);
    *instance = status == DMLERR_NO_ERROR ? id : 0;
    return static_cast<int32_t>(status);
}

DdeName* ddeCreateName(uint32_t instance, const char* text) {
    return toName(DdeCreateStringHandleA(instance, text, CP_WINANSI));
}

void ddeFreeName(uint32_t instance, DdeName* name) { DdeFreeStringHandle(instance, toHandle(name)); }

void ddeRegisterService(uint32_t instance, DdeName* service) {
    DdeNameService(instance, toHandle(service), nullptr, DNS_REGISTER);
}

DdeConversation* ddeConnectTo(uint32_t instance, DdeName* service, DdeName* topic) {
    return reinterpret_cast<DdeConversation*>(
        DdeConnect(instance, toHandle(service), toHandle(topic), nullptr));
}

bool ddeExecuteCommand(DdeConversation* conversation, const char* bytes, int32_t length,
                       uint32_t timeoutMs) {
    DWORD ignored = 0;
    // DDEML does not write through the data pointer of an execute.
    BYTE* data = reinterpret_cast<BYTE*>(const_cast<char*>(bytes));
    return DdeClientTransaction(data, static_cast<DWORD>(length),
                                reinterpret_cast<HCONV>(conversation), nullptr, 0, XTYP_EXECUTE,
                                timeoutMs, &ignored) != nullptr;
}

bool ddeConversationAlive(DdeConversation* conversation) {
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(reinterpret_cast<HCONV>(conversation), QID_SYNC, &info) == 0) return false;
    // A partner that crashed never ended the conversation: its window is gone.
    return (info.wStatus & ST_CONNECTED) && !(info.wStatus & ST_TERMINATED) &&
           IsWindow(info.hwndPartner);
}

uint32_t ddeLastError(uint32_t instance) { return DdeGetLastError(instance); }

void ddeUninitialize(uint32_t instance) { DdeUninitialize(instance); }

uint32_t ddeGetData(DdeData* data, char* buffer, uint32_t capacity) {
    return DdeGetData(reinterpret_cast<HDDEDATA>(data), reinterpret_cast<BYTE*>(buffer), capacity,
                      0);
}

uint32_t platformThreadId() { return GetCurrentThreadId(); }

// A hold is a handle to the thread. The system frees a thread's id with the
// thread object, once the thread has ended and its last handle is closed.
PlatformThread* platformHoldThisThread() {
    HANDLE thread = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0,
                         FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return reinterpret_cast<PlatformThread*>(thread);
}

void platformReleaseThread(PlatformThread* thread) { CloseHandle(reinterpret_cast<HANDLE>(thread)); }

bool platformThreadEnded(PlatformThread* thread) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(thread), 0) == WAIT_OBJECT_0;
}

namespace {

UINT_PTR soonTimer;  // 0: no call waiting
void (*soonCall)();

void CALLBACK runSoonCall(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    // A timer message queued before its timer was killed finds another id.
    if (timer != soonTimer) return;
    soonTimer = 0;
    soonCall();
}

}  // namespace

void platformCallSoon(void (*call)()) {
    if (soonTimer) return;
    soonCall = call;
    soonTimer = SetTimer(nullptr, 0, 0, runSoonCall);
}

void platformCancelCallSoon() {
    if (soonTimer) KillTimer(nullptr, soonTimer);
    soonTimer = 0;
}

void platformForgetCallSoon() { soonTimer = 0; }
