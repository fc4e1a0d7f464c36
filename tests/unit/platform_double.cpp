// The test double of the platform interface; see platform_double.h.

#include "platform_double.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "dial_handoff.h"
#include "heap.h"
#include "link.h"

struct PlatformFile {
    int unused;
};

struct DdeConversation {
    int unused;
};

struct DdeData {
    std::string bytes;
};

struct PlatformThread {
    uint32_t id;
    bool ended;
};

namespace {

PlatformDouble theDouble;
PlatformFile theFile;
DdeConversation theConversation;

// Name handles are small integers disguised as pointers, one per text, as
// DDEML gives equal texts equal handles.
std::vector<std::string> nameTexts;

// Every hold ever taken, so that a hold stays valid after the thread ended.
std::vector<std::unique_ptr<PlatformThread>> heldThreads;

// How deep DDEML is in the link's callback or in a command's wait.
int ddemlBusy = 0;

uint32_t callLinkCallback(uint32_t type, DdeName* topic, DdeName* service, DdeData* data) {
    ++ddemlBusy;
    const uint32_t result = linkCallback(type, topic, service, data);
    --ddemlBusy;
    return result;
}

std::string textOf(DdeName* name) {
    const auto index = reinterpret_cast<uintptr_t>(name);
    return index >= 1 && index <= nameTexts.size() ? nameTexts[index - 1] : std::string();
}

}  // namespace

PlatformDouble& platformDouble() { return theDouble; }

void resetPlatformDouble() {
    theDouble = PlatformDouble();
    nameTexts.clear();
    heldThreads.clear();
    ddemlBusy = 0;
    linkState = LinkState();
    dialCardWindow = DialCardWindow();
}

DdeName* PlatformDouble::nameFor(const std::string& text) {
    for (size_t i = 0; i < nameTexts.size(); ++i)
        if (nameTexts[i] == text) return reinterpret_cast<DdeName*>(i + 1);
    nameTexts.push_back(text);
    return reinterpret_cast<DdeName*>(nameTexts.size());
}

uint32_t PlatformDouble::connect(const std::string& service, const std::string& topic) {
    return callLinkCallback(ddeConnect, nameFor(topic), nameFor(service), nullptr);
}

uint32_t PlatformDouble::notify(const std::string& bytes, uint32_t type) {
    DdeData data{bytes};
    return callLinkCallback(type, nullptr, nullptr, &data);
}

uint32_t PlatformDouble::transaction(uint32_t type) {
    return callLinkCallback(type, nullptr, nullptr, nullptr);
}

void PlatformDouble::endThread(uint32_t id) {
    for (auto& hold : heldThreads)
        if (hold->id == id) hold->ended = true;
    if (instance == 0 || instanceThread != id) return;
    instance = 0;
    liveNames.clear();
    registeredServices.clear();
}

void PlatformDouble::failCall(int n, bool fromThenOn) {
    callsToFault = n;
    faultsGoOn = fromThenOn;
    faults.clear();
}

bool PlatformDouble::fails(Fallible call) {
    if (callsToFault == 0) return false;
    if (callsToFault > 1) {
        --callsToFault;
        return false;
    }
    if (!faultsGoOn) callsToFault = 0;
    faults.push_back(call);
    return true;
}

std::string halfDone() {
    const PlatformDouble& p = theDouble;
    const bool linked = linkState.instance != 0;
    if (p.liveBlocks != 0) return std::to_string(p.liveBlocks) + " heap blocks left";
    if (p.openFiles != 0) return "the hand-off file left open";
    if (p.unsafeUninitializations != 0) return "an instance ended while DDEML used it";
    if (p.instance != 0 && p.instance != linkState.instance) return "a DDE instance with no link";
    // DDEML ends an instance with its thread; until then the link names it.
    if (linked && p.instance == 0 && !platformThreadEnded(linkOwner()))
        return "a link whose instance has ended";
    const std::map<std::string, int> linkNames = {
        {"Kestrova", 1}, {linkState.observerServiceName, 1}, {"Server", 1}};
    if (p.liveNames != (p.instance ? linkNames : std::map<std::string, int>()))
        return "name handles that are not the link's three";
    if (p.threadHolds != (linked ? 1 : 0) || (linkOwner() != nullptr) != linked ||
        (linkState.ownerThreadId != 0) != linked)
        return "thread holds that are not the link's";
    if (p.soonCall && !linked) return "a timer with no link";
    if (linkState.closePending && linkState.observer) return "a close pending with an observer";
    if (linkState.closePending && (!p.soonCall || p.soonCallThread != linkState.ownerThreadId))
        return "a close pending with no timer on the link's thread";
    if (linkState.observerCalls != 0 || linkState.waitingForPhone) return "a call still under way";
    return std::string();
}

const char* fallibleName(Fallible call) {
    static const char* const names[] = {"temp length", "temp fetch", "heap",   "open",
                                        "write",       "close",      "shell",  "thread hold",
                                        "DDE instance", "name",      "connect", "execute"};
    return names[static_cast<int>(call)];
}

bool PlatformDouble::runSoonCall() {
    void (*call)() = soonCall;
    soonCall = nullptr;
    if (call) call();
    return call != nullptr;
}

void* heapTake(std::size_t size) {
    ++theDouble.allocations;
    if (theDouble.fails(Fallible::heap)) return nullptr;
    ++theDouble.liveBlocks;
    return std::malloc(size);
}

void heapRelease(void* block) {
    if (!block) return;
    --theDouble.liveBlocks;
    std::free(block);
}

uint32_t platformTempPath(uint32_t capacity, char* buffer) {
    if (capacity == 0) {
        if (theDouble.fails(Fallible::tempLength)) return 0;
        if (theDouble.tempLengthReported) return theDouble.tempLengthReported;
        return static_cast<uint32_t>(theDouble.tempDirectory.size() + 1);
    }
    if (theDouble.fails(Fallible::tempFetch)) return 0;
    const std::string& found = theDouble.tempDirectoryOnFetch.empty()
                                   ? theDouble.tempDirectory
                                   : theDouble.tempDirectoryOnFetch;
    const auto length = static_cast<uint32_t>(found.size());
    if (length + 1 > capacity) return length + 1;  // too small: the size needed
    std::memcpy(buffer, found.c_str(), length + 1);
    return length;
}

uint32_t platformProcessId() { return theDouble.processId; }

uint32_t platformMilliseconds() { return theDouble.milliseconds; }

PlatformFile* platformOpenText(const char* path) {
    ++theDouble.opens;
    theDouble.openedPath = path;
    if (theDouble.fails(Fallible::open)) return nullptr;
    theDouble.fileContents.clear();
    ++theDouble.openFiles;
    return &theFile;
}

int32_t platformWrite(PlatformFile*, const char* bytes, int32_t count) {
    const int32_t written = theDouble.fails(Fallible::write) && count > 0 ? count - 1 : count;
    theDouble.fileContents.append(bytes, static_cast<size_t>(written));
    return written;
}

bool platformClose(PlatformFile*) {
    --theDouble.openFiles;
    return !theDouble.fails(Fallible::close);
}

int32_t platformShellDial(const char* path) {
    theDouble.dialledPaths.push_back(path);
    theDouble.dialledCards.push_back(theDouble.fileContents);
    return theDouble.fails(Fallible::shell) ? 32 : theDouble.shellResult;
}

void platformCallObserver(ObserverCallback observer, int32_t count, char** tokens) {
    observer(count, tokens);
}

int32_t ddeInitialize(uint32_t* instance) {
    ++theDouble.initializations;
    if (theDouble.fails(Fallible::ddeInstance)) return 0x4006;  // DMLERR_DLL_USAGE, say
    theDouble.instance = *instance = ++theDouble.lastInstance;
    theDouble.instanceThread = theDouble.threadId;
    return 0;
}

DdeName* ddeCreateName(uint32_t, const char* text) {
    if (theDouble.fails(Fallible::name)) return nullptr;
    ++theDouble.liveNames[text];
    return theDouble.nameFor(text);
}

void ddeFreeName(uint32_t, DdeName* name) {
    const std::string text = textOf(name);
    if (--theDouble.liveNames[text] == 0) theDouble.liveNames.erase(text);
}

void ddeRegisterService(uint32_t, DdeName* service) {
    theDouble.registeredServices.push_back(textOf(service));
}

DdeConversation* ddeConnectTo(uint32_t, DdeName* service, DdeName* topic) {
    ++theDouble.connections;
    ++ddemlBusy;
    if (theDouble.duringConnect) theDouble.duringConnect();
    --ddemlBusy;
    if (theDouble.fails(Fallible::connect) || !theDouble.phoneServing ||
        textOf(service) != "Kestrova" || textOf(topic) != "Server")
        return nullptr;
    return &theConversation;
}

bool ddeConversationAlive(DdeConversation*) { return theDouble.phoneServing; }

bool ddeExecuteCommand(DdeConversation*, const char* bytes, int32_t length, uint32_t timeoutMs) {
    theDouble.commands.emplace_back(bytes, static_cast<size_t>(length));
    theDouble.commandTimeouts.push_back(timeoutMs);
    ++ddemlBusy;
    if (theDouble.duringExecute) theDouble.duringExecute();
    --ddemlBusy;
    return !theDouble.fails(Fallible::execute) && theDouble.phoneAccepts;
}

uint32_t ddeLastError(uint32_t) {
    ++theDouble.lastErrorFetches;
    return 0;
}

void ddeUninitialize(uint32_t) {
    ++theDouble.uninitializations;
    if (ddemlBusy > 0) ++theDouble.unsafeUninitializations;
    if (theDouble.duringUninitialize) theDouble.duringUninitialize();
    theDouble.instance = 0;
    theDouble.registeredServices.clear();
}

uint32_t ddeGetData(DdeData* data, char* buffer, uint32_t capacity) {
    const auto length = static_cast<uint32_t>(data->bytes.size());
    const uint32_t copied = length < capacity ? length : capacity;
    std::memcpy(buffer, data->bytes.data(), copied);
    return copied;
}

PlatformThread* platformHoldThisThread() {
    if (theDouble.fails(Fallible::threadHold)) return nullptr;
    ++theDouble.threadHolds;
    heldThreads.push_back(std::make_unique<PlatformThread>(PlatformThread{theDouble.threadId, false}));
    return heldThreads.back().get();
}

void platformReleaseThread(PlatformThread*) { --theDouble.threadHolds; }

uint32_t platformThreadId() { return theDouble.threadId; }

bool platformThreadEnded(PlatformThread* thread) { return thread->ended; }

void platformCallSoon(void (*call)()) {
    if (theDouble.soonCall) return;
    theDouble.soonCall = call;
    theDouble.soonCallThread = theDouble.threadId;
}

void platformCancelCallSoon() {
    if (theDouble.soonCall && theDouble.soonCallThread != theDouble.threadId)
        ++theDouble.foreignTimerKills;
    theDouble.soonCall = nullptr;
}

void platformForgetCallSoon() { theDouble.soonCall = nullptr; }
