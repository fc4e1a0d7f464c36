// The stand-in phone application: plays the phone's side of KestrovaAPI for
// the Win32 tests and the demo. PROTOCOL.md beside this file describes what
// it accepts, what it sends and its control channel.
//
// Two threads, each with a DDEML instance of its own:
//  - the serving thread (the main one) registers the "Kestrova" service,
//    answers its "Server" topic, keeps the call's state, and through its
//    window receives cards handed over by later starts of the program and
//    the control channel's commands and queries (control_channel.h);
//  - the sending thread connects to subscribers and sends them the
//    notifications the serving thread queues, from its own message loop.
// They are apart because DdeConnect sends WM_DDE_INITIATE to every top-level
// window and waits for each, while a client waiting in a synchronous DDEML
// transaction handles no sent messages: a connecting thread must never be
// the one that client waits for.

#include <windows.h>
#include <ddeml.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "control_channel.h"
#include "phone_text.h"

namespace {

using standin::escapeBytes;

using standin::phoneWindowClass;

constexpr char senderClassName[] = "KestrovaStandinPhoneSender";
constexpr char instanceMutexName[] = "KestrovaStandinPhone";
constexpr char serviceName[] = "Kestrova";
constexpr char serverTopicName[] = "Server";
constexpr char pokeItemName[] = "notification";

constexpr UINT workMessage = WM_APP + 1;
constexpr UINT_PTR progressTimer = 1;
constexpr UINT_PTR firstHoldTimer = 1000;

// A slice of work gives the sending thread's message loop a turn at least this often.
constexpr DWORD workSliceMs = 20;
constexpr std::size_t maxCardBytes = 1 << 20;
constexpr std::size_t controlEchoLimit = 256;

// Holds a critical section for a scope.
class Locked {
public:
    explicit Locked(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~Locked() { LeaveCriticalSection(&section_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// ---- The log ----------------------------------------------------------------

// The phone's record of what it saw and did, one event a line, written by
// both threads. Bounded: the oldest lines go first, and the text says how
// many went.
class Log {
public:
    Log() { InitializeCriticalSection(&lock_); }
    ~Log() { DeleteCriticalSection(&lock_); }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void add(std::string line) {
        Locked hold(lock_);
        bytes_ += line.size() + 1;
        lines_.push_back(std::move(line));
        while (lines_.size() > maxLines || bytes_ > maxBytes) {
            bytes_ -= lines_.front().size() + 1;
            lines_.pop_front();
            ++dropped_;
        }
    }

    std::string text() {
        Locked hold(lock_);
        std::string out;
        out.reserve(bytes_ + 32);
        if (dropped_ > 0) out += "dropped " + std::to_string(dropped_) + "\n";
        for (const std::string& line : lines_) {
            out += line;
            out += '\n';
        }
        return out;
    }

    void clear() {
        Locked hold(lock_);
        lines_.clear();
        bytes_ = 0;
        dropped_ = 0;
    }

private:
    static constexpr std::size_t maxLines = 5000;
    static constexpr std::size_t maxBytes = 1 << 20;
    CRITICAL_SECTION lock_;
    std::deque<std::string> lines_;
    std::size_t bytes_ = 0;
    unsigned long dropped_ = 0;
};

Log phoneLog;

std::string hex4(DWORD value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value & 0xFFFF));
    return text;
}

std::string ddeErrorName(UINT error) {
    switch (error) {
        case DMLERR_NO_ERROR: return "NO_ERROR";
        case DMLERR_ADVACKTIMEOUT: return "ADVACKTIMEOUT";
        case DMLERR_BUSY: return "BUSY";
        case DMLERR_DATAACKTIMEOUT: return "DATAACKTIMEOUT";
        case DMLERR_DLL_NOT_INITIALIZED: return "DLL_NOT_INITIALIZED";
        case DMLERR_DLL_USAGE: return "DLL_USAGE";
        case DMLERR_EXECACKTIMEOUT: return "EXECACKTIMEOUT";
        case DMLERR_INVALIDPARAMETER: return "INVALIDPARAMETER";
        case DMLERR_LOW_MEMORY: return "LOW_MEMORY";
        case DMLERR_MEMORY_ERROR: return "MEMORY_ERROR";
        case DMLERR_NOTPROCESSED: return "NOTPROCESSED";
        case DMLERR_NO_CONV_ESTABLISHED: return "NO_CONV_ESTABLISHED";
        case DMLERR_POKEACKTIMEOUT: return "POKEACKTIMEOUT";
        case DMLERR_POSTMSG_FAILED: return "POSTMSG_FAILED";
        case DMLERR_REENTRANCY: return "REENTRANCY";
        case DMLERR_SERVER_DIED: return "SERVER_DIED";
        case DMLERR_SYS_ERROR: return "SYS_ERROR";
        case DMLERR_UNADVACKTIMEOUT: return "UNADVACKTIMEOUT";
        case DMLERR_UNFOUND_QUEUE_ID: return "UNFOUND_QUEUE_ID";
        default: return hex4(error);
    }
}

bool sameName(HSZ a, HSZ b) { return a && b && DdeCmpStringHandles(a, b) == 0; }

std::string dataBytes(HDDEDATA data) {
    if (!data) return {};
    const DWORD size = DdeGetData(data, nullptr, 0, 0);
    std::string bytes(size, '\0');
    if (size > 0) DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), size, 0);
    return bytes;
}

// ---- The sending thread ------------------------------------------------------------

// Queued by the serving thread, done by the sending thread in order.
struct Work {
    enum Kind { Connect, Send } kind = Send;
    std::string text;  // Connect: the service; Send: the notification's bytes
    UINT type = XTYP_EXECUTE;
    unsigned long count = 1;
};

// A subscriber has a DDEML instance of its own: Wine keeps a conversation
// whose partner went away until the instance ends, and refuses a new one to
// the same service meanwhile, so a new subscription by the same name needs a
// fresh instance.
struct Subscriber {
    std::string name;
    DWORD instance = 0;
    HSZ topic = nullptr;
    HSZ pokeItem = nullptr;
    HCONV conversation = nullptr;
};

// How one subscriber fared in a flood.
struct Tally {
    unsigned long sent = 0;
    unsigned long acked = 0;
    unsigned long failed = 0;
    std::string last;
    bool stopped = false;  // timed out once: the rest of the flood skips it
};

// A flood under way: how many copies went, and to whom.
struct Flood {
    unsigned long done = 0;
    std::map<std::string, Tally> tallies;
};

class Sender {
public:
    Sender() { InitializeCriticalSection(&lock_); }
    ~Sender() { DeleteCriticalSection(&lock_); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Starts the thread and waits until it can take work.
    bool start() {
        ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, threadMain, this, 0, nullptr);
        if (!thread_) return false;
        const HANDLE waits[] = {ready_, thread_};
        return WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_OBJECT_0 && window_;
    }

    // Asks the thread to end and waits for it a while: it may be stuck
    // waiting for a subscriber that does not answer.
    void stop() {
        if (!thread_) return;
        PostMessageA(window_, WM_CLOSE, 0, 0);
        WaitForSingleObject(thread_, 3000);
        CloseHandle(thread_);
        CloseHandle(ready_);
        thread_ = nullptr;
    }

    void queue(Work item) {
        {
            Locked hold(lock_);
            work_.push_back(std::move(item));
            if (posted_) return;
            posted_ = true;
        }
        PostMessageA(window_, workMessage, 0, 0);
    }

    // Names of the connected subscribers, a line each.
    std::string subscriberNames() {
        Locked hold(lock_);
        std::string names;
        for (const Subscriber& subscriber : subscribers_) names += subscriber.name + "\n";
        return names;
    }

    std::atomic<DWORD> sendTimeoutMs{5000};

private:
    static constexpr UINT_PTR sweepTimer = 1;
    static constexpr DWORD sweepMs = 100;

    static DWORD WINAPI threadMain(LPVOID self) { return static_cast<Sender*>(self)->run(); }

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Sender*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && message == workMessage) {
            self->doWork();
            return 0;
        }
        if (self && message == WM_TIMER && wParam == sweepTimer) {
            self->sweep();
            return 0;
        }
        if (message == WM_CLOSE) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    // Conversations are watched by sweep(); the callback has nothing to do.
    static HDDEDATA CALLBACK ddeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR,
                                         ULONG_PTR) {
        return nullptr;
    }

    DWORD run() {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = senderClassName;
        RegisterClassA(&windowClass);
        // Message-only: broadcasts never wait for it.
        const HWND window = CreateWindowExA(0, senderClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                            nullptr, windowClass.hInstance, nullptr);
        if (window) {
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            SetTimer(window, sweepTimer, sweepMs, nullptr);
        }
        window_ = window;
        SetEvent(ready_);
        if (!window) return 1;

        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }

        for (Subscriber& subscriber : subscribers()) close(subscriber);
        DestroyWindow(window);
        return 0;
    }

    // Runs queued work until none is left or the slice is over, then gives
    // the message loop a turn. A call nested in a transaction's wait does
    // nothing: the outer one goes on afterwards.
    void doWork() {
        {
            Locked hold(lock_);
            posted_ = false;
        }
        if (working_) return;
        working_ = true;
        const DWORD sliceStart = GetTickCount();
        bool more = true;
        while (more && GetTickCount() - sliceStart < workSliceMs) {
            Work item;
            {
                Locked hold(lock_);
                if (work_.empty()) break;
                item = work_.front();
            }
            bool finished = true;
            if (item.kind == Work::Connect)
                connect(item.text);
            else if (item.count == 1)
                sendOnce(item);
            else
                finished = sendFlood(item, sliceStart);
            Locked hold(lock_);
            if (finished) {
                work_.pop_front();
                flood_ = Flood();
            }
            more = !work_.empty();
        }
        working_ = false;
        bool post = false;
        {
            Locked hold(lock_);
            if (!work_.empty() && !posted_) post = posted_ = true;
        }
        if (post) PostMessageA(window_, workMessage, 0, 0);
    }

    std::vector<Subscriber> subscribers() {
        Locked hold(lock_);
        return subscribers_;
    }

    static bool stillConnected(HCONV conversation) {
        CONVINFO info{};
        info.cb = sizeof info;
        return DdeQueryConvInfo(conversation, QID_SYNC, &info) != 0 && (info.wStatus & ST_CONNECTED);
    }

    static void close(Subscriber& subscriber) {
        DdeFreeStringHandle(subscriber.instance, subscriber.topic);
        DdeFreeStringHandle(subscriber.instance, subscriber.pokeItem);
        DdeUninitialize(subscriber.instance);  // ends the conversation, if it still runs
    }

    // Drops a subscriber whose partner went away; false if it is still there.
    bool dropIfGone(const Subscriber& subscriber) {
        if (stillConnected(subscriber.conversation)) return false;
        Subscriber gone;
        {
            Locked hold(lock_);
            const auto it = std::find_if(subscribers_.begin(), subscribers_.end(), [&](const Subscriber& s) {
                return s.conversation == subscriber.conversation;
            });
            if (it == subscribers_.end()) return true;
            gone = *it;
            subscribers_.erase(it);
        }
        phoneLog.add("unsubscribed " + gone.name);
        close(gone);
        return true;
    }

    void sweep() {
        if (working_) return;  // a transaction of ours is waiting
        for (const Subscriber& subscriber : subscribers()) dropIfGone(subscriber);
    }

    void connect(const std::string& name) {
        for (const Subscriber& subscriber : subscribers()) {
            if (lstrcmpiA(subscriber.name.c_str(), name.c_str()) != 0) continue;
            if (!dropIfGone(subscriber)) {
                phoneLog.add("subscribe again " + name);
                return;
            }
        }
        Subscriber subscriber;
        subscriber.name = name;
        const UINT flags = APPCMD_CLIENTONLY | CBF_SKIP_ALLNOTIFICATIONS;
        if (DdeInitializeA(&subscriber.instance, ddeCallback, flags, 0) != DMLERR_NO_ERROR) {
            phoneLog.add("subscribe fail:DdeInitialize " + escapeBytes(name));
            return;
        }
        subscriber.topic = DdeCreateStringHandleA(subscriber.instance, serverTopicName, CP_WINANSI);
        subscriber.pokeItem = DdeCreateStringHandleA(subscriber.instance, pokeItemName, CP_WINANSI);
        const HSZ service = DdeCreateStringHandleA(subscriber.instance, name.c_str(), CP_WINANSI);
        subscriber.conversation = DdeConnect(subscriber.instance, service, subscriber.topic, nullptr);
        const UINT error = DdeGetLastError(subscriber.instance);
        DdeFreeStringHandle(subscriber.instance, service);
        if (!subscriber.conversation) {
            phoneLog.add("subscribe fail:" + ddeErrorName(error) + " " + escapeBytes(name));
            close(subscriber);
            return;
        }
        {
            Locked hold(lock_);
            subscribers_.push_back(subscriber);
        }
        phoneLog.add("subscribe connected " + name);
    }

    // One synchronous transaction: the answer word, or "fail:ERROR:word".
    std::string transact(const Subscriber& target, const Work& item, bool* timedOut,
                         DWORD* word = nullptr) {
        DWORD result = 0;
        const bool poke = item.type == XTYP_POKE;
        // DDEML copies the bytes into its own memory and does not write them.
        auto* bytes = reinterpret_cast<LPBYTE>(const_cast<char*>(item.text.data()));
        const HDDEDATA answer = DdeClientTransaction(
            bytes, static_cast<DWORD>(item.text.size()), target.conversation,
            poke ? target.pokeItem : nullptr, poke ? CF_TEXT : 0, item.type, sendTimeoutMs.load(),
            &result);
        if (word) *word = answer ? result : 0;
        if (answer) return hex4(result);
        const UINT error = DdeGetLastError(target.instance);
        *timedOut = error == DMLERR_EXECACKTIMEOUT || error == DMLERR_POKEACKTIMEOUT;
        return "fail:" + ddeErrorName(error) + ":" + hex4(result);
    }

    static std::string describe(const Work& item) {
        return std::to_string(item.text.size()) + " " + escapeBytes(item.text);
    }

    static const char* typeWord(UINT type) { return type == XTYP_POKE ? "poke" : "execute"; }

    // The subscribers still there; those gone are dropped first.
    std::vector<Subscriber> liveSubscribers() {
        std::vector<Subscriber> live;
        for (const Subscriber& subscriber : subscribers())
            if (!dropIfGone(subscriber)) live.push_back(subscriber);
        return live;
    }

    // A single notification to every subscriber, a line each.
    void sendOnce(const Work& item) {
        const std::vector<Subscriber> targets = liveSubscribers();
        if (targets.empty()) {
            phoneLog.add(std::string("send ") + typeWord(item.type) + " - none " + describe(item));
            return;
        }
        for (const Subscriber& target : targets) {
            bool timedOut = false;
            const std::string verdict = transact(target, item, &timedOut);
            phoneLog.add(std::string("send ") + typeWord(item.type) + " " + target.name + " " +
                         verdict + " " + describe(item));
        }
    }

    // Copies of a flood until the slice is over; true when all went. The
    // log gets one line per subscriber at the end.
    bool sendFlood(const Work& item, DWORD sliceStart) {
        while (flood_.done < item.count) {
            for (const Subscriber& target : liveSubscribers()) {
                Tally& tally = flood_.tallies[target.name];
                if (tally.stopped) continue;
                bool timedOut = false;
                DWORD word = 0;
                tally.last = transact(target, item, &timedOut, &word);
                ++tally.sent;
                // Wine reports a poke answered DDE_FNOTPROCESSED as done, with
                // the word 0x0000: only DDE_FACK counts as acknowledged.
                if (tally.last.compare(0, 5, "fail:") != 0 && (word & DDE_FACK)) {
                    ++tally.acked;
                } else {
                    ++tally.failed;
                    tally.stopped = timedOut;
                }
            }
            ++flood_.done;
            if (GetTickCount() - sliceStart >= workSliceMs) break;
        }
        if (flood_.done < item.count) return false;

        const std::string head = std::string("flood ") + typeWord(item.type) + " ";
        if (flood_.tallies.empty())
            phoneLog.add(head + "- " + std::to_string(item.count) + " none " + describe(item));
        for (const auto& [name, tally] : flood_.tallies) {
            phoneLog.add(head + name + " " + std::to_string(item.count) + " sent=" +
                         std::to_string(tally.sent) + " ack=" + std::to_string(tally.acked) +
                         " fail=" + std::to_string(tally.failed) + " last=" + tally.last + " " +
                         describe(item));
        }
        return true;
    }

    CRITICAL_SECTION lock_;  // work_, posted_, subscribers_
    std::deque<Work> work_;
    bool posted_ = false;
    std::vector<Subscriber> subscribers_;  // changed by the thread only

    // The thread's own.
    bool working_ = false;
    Flood flood_;

    HWND window_ = nullptr;
    HANDLE thread_ = nullptr;
    HANDLE ready_ = nullptr;
};

Sender sender;

void queueNotification(std::string text, UINT type = XTYP_EXECUTE, unsigned long count = 1) {
    Work item;
    item.text = std::move(text);
    item.type = type;
    item.count = count;
    sender.queue(std::move(item));
}

// ---- The serving thread's state ------------------------------------------------------

enum class CallState { Idle, OffHook, Dialling, Ringing, Incoming, Connected };

const char* stateWord(CallState state) {
    switch (state) {
        case CallState::Idle: return "idle";
        case CallState::OffHook: return "offhook";
        case CallState::Dialling: return "dialling";
        case CallState::Ringing: return "ringing";
        case CallState::Incoming: return "incoming";
        case CallState::Connected: return "connected";
    }
    return "?";
}

struct Phone {
    DWORD instance = 0;
    HSZ service = nullptr;
    HSZ serverTopic = nullptr;
    HWND window = nullptr;

    // Control hooks.
    bool rejectCommands = false;
    DWORD hangMs = 0;
    DWORD progressMs = 100;

    std::set<HCONV> served;  // conversations on our service
    std::map<UINT_PTR, HCONV> holdTimers;
    UINT_PTR nextHoldTimer = firstHoldTimer;
    std::set<HCONV> released;  // held conversations whose transaction is due

    CallState state = CallState::Idle;
    std::string callName;
    std::string callNumber;
};

Phone phone;

// ---- The call -------------------------------------------------------------------

bool lineFree() { return phone.state == CallState::Idle || phone.state == CallState::OffHook; }

void notifyCall(const char* event) {
    queueNotification(standin::notification("call", event, phone.callName, phone.callNumber));
}

bool startOutgoing(const std::string& name, const std::string& number) {
    if (!lineFree()) return false;
    phone.state = CallState::Dialling;
    phone.callName = name;
    phone.callNumber = number;
    notifyCall("dialling");
    SetTimer(phone.window, progressTimer, phone.progressMs, nullptr);
    return true;
}

bool startIncoming(const std::string& name, const std::string& number) {
    if (!lineFree()) return false;
    phone.state = CallState::Incoming;
    phone.callName = name;
    phone.callNumber = number;
    notifyCall("incoming");
    return true;
}

void connectCall() {
    KillTimer(phone.window, progressTimer);
    phone.state = CallState::Connected;
    notifyCall("connected");
}

void endCall(const char* reason) {
    KillTimer(phone.window, progressTimer);
    phone.state = CallState::Idle;
    queueNotification(
        standin::notification("call", "ended", phone.callName, phone.callNumber, reason));
    phone.callName.clear();
    phone.callNumber.clear();
}

void hookOff() {
    switch (phone.state) {
        case CallState::Idle:
            phone.state = CallState::OffHook;
            queueNotification(standin::notification("line", "offhook"));
            break;
        case CallState::Dialling:
        case CallState::Ringing:
        case CallState::Incoming:
            connectCall();
            break;
        case CallState::OffHook:
        case CallState::Connected:
            break;
    }
}

void hangUp() {
    switch (phone.state) {
        case CallState::OffHook:
            phone.state = CallState::Idle;
            queueNotification(standin::notification("line", "onhook"));
            break;
        case CallState::Dialling:
        case CallState::Ringing:
        case CallState::Incoming:
        case CallState::Connected:
            endCall("local");
            break;
        case CallState::Idle:
            break;
    }
}

void progressCall() {
    KillTimer(phone.window, progressTimer);
    if (phone.state != CallState::Dialling) return;
    phone.state = CallState::Ringing;
    notifyCall("ringing");
}

void receiveCard(const char* source, const std::string& contents) {
    const standin::Card card = standin::parseCard(contents);
    const char* verdict = "dial";
    if (!card.hasNumber || card.number.empty())
        verdict = "invalid";
    else if (standin::isPlaceholder(card))
        verdict = "placeholder";
    else if (!lineFree())
        verdict = "busy";
    // Logged before the call starts: the line comes before its notifications'.
    phoneLog.add(std::string("card ") + source + " " + std::to_string(contents.size()) + " " +
                 verdict + " " + escapeBytes(contents));
    if (verdict == std::string_view("dial")) startOutgoing(card.name, card.number);
}

// ---- The "Server" topic -------------------------------------------------------------

// Delays the conversation's current transaction: DDEML keeps it and offers it
// again when the timer re-enables the conversation.
HDDEDATA holdTransaction(HCONV conversation, const std::string& bytes) {
    const UINT_PTR timer = phone.nextHoldTimer++;
    phone.holdTimers[timer] = conversation;
    SetTimer(phone.window, timer, phone.hangMs, nullptr);
    phoneLog.add("hold " + std::to_string(phone.hangMs) + " " + std::to_string(bytes.size()) + " " +
                 escapeBytes(bytes));
    return CBR_BLOCK;
}

void releaseHeld(UINT_PTR timer) {
    KillTimer(phone.window, timer);
    const auto it = phone.holdTimers.find(timer);
    if (it == phone.holdTimers.end()) return;
    const HCONV conversation = it->second;
    phone.holdTimers.erase(it);
    phone.released.insert(conversation);
    DdeEnableCallback(phone.instance, conversation, EC_ENABLEONE);
}

HDDEDATA serverCommand(HCONV conversation, const std::string& bytes) {
    if (phone.hangMs > 0 && phone.released.erase(conversation) == 0)
        return holdTransaction(conversation, bytes);
    phone.released.erase(conversation);

    const standin::Command command = standin::parseCommand(bytes);
    const char* verdict = phone.rejectCommands                       ? "rejected"
                          : command.kind == standin::Command::Unknown ? "unknown"
                                                                      : "accepted";
    phoneLog.add("command " + std::to_string(bytes.size()) + " " + verdict + " " +
                 escapeBytes(bytes));
    if (phone.rejectCommands || command.kind == standin::Command::Unknown)
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);

    switch (command.kind) {
        case standin::Command::HookOff: hookOff(); break;
        case standin::Command::HangUp: hangUp(); break;
        case standin::Command::Subscribe: {
            Work item;
            item.kind = Work::Connect;
            item.text = command.service;
            sender.queue(std::move(item));
            break;
        }
        case standin::Command::Unknown: break;
    }
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

// ---- The control channel --------------------------------------------------------------

bool parseMs(std::string_view text, DWORD* value) {
    unsigned long parsed = 0;
    if (!standin::parseCount(text, &parsed)) return false;
    *value = parsed;
    return true;
}

// Checks a control command and, when act is set, carries it out. Checked
// first and carried out after its log line, so that the line comes before
// anything the command makes the sending thread log.
bool runControl(std::string_view text, bool act) {
    const auto [word, rest] = standin::splitWord(text);
    DWORD ms = 0;
    if (word == "reject") {
        if (rest != "on" && rest != "off") return false;
        if (act) phone.rejectCommands = rest == "on";
        return true;
    }
    if (word == "hang" || word == "progress" || word == "timeout") {
        if (!parseMs(rest, &ms) || (word == "timeout" && ms == 0)) return false;
        if (!act) return true;
        if (word == "hang")
            phone.hangMs = ms;
        else if (word == "progress")
            phone.progressMs = ms;
        else
            sender.sendTimeoutMs = ms;
        return true;
    }
    if (word == "notify") {
        const auto [type, more] = standin::splitWord(rest);
        const auto [countText, bytes] = standin::splitWord(more);
        unsigned long count = 0;
        if ((type != "execute" && type != "poke") || !standin::parseCount(countText, &count) ||
            count == 0)
            return false;
        if (act) queueNotification(std::string(bytes), type == "poke" ? XTYP_POKE : XTYP_EXECUTE, count);
        return true;
    }
    if (word == "incoming" || word == "dial") {
        const auto [number, name] = standin::splitWord(rest);
        if (number.empty() || !lineFree()) return false;
        if (!act) return true;
        return word == "dial" ? startOutgoing(std::string(name), std::string(number))
                              : startIncoming(std::string(name), std::string(number));
    }
    if (word == "remote") {
        if (rest == "answer" &&
            (phone.state == CallState::Dialling || phone.state == CallState::Ringing)) {
            if (act) connectCall();
            return true;
        }
        if (rest == "hangup" && !lineFree()) {
            if (act) endCall("remote");
            return true;
        }
        return false;
    }
    if (word == "clearlog" && rest.empty()) {
        if (act) phoneLog.clear();
        return true;
    }
    if (word == "exit" && rest.empty()) {
        if (act) PostQuitMessage(0);
        return true;
    }
    return false;
}

bool controlCommand(const std::string& bytes) {
    const bool valid = runControl(bytes, false);
    phoneLog.add(std::string("control ") + (valid ? "ok " : "bad ") +
                 escapeBytes(bytes, controlEchoLimit));
    return valid && runControl(bytes, true);
}

// Answers a query by sending the text to the asker's window, which is
// waiting in its own SendMessage and so takes it at once.
bool controlQuery(const std::string& item, HWND asker) {
    std::string answer;
    if (item == "log")
        answer = phoneLog.text();
    else if (item == "state")
        answer = stateWord(phone.state);
    else if (item == "subscribers")
        answer = sender.subscriberNames();
    else
        return false;
    COPYDATASTRUCT copy{standin::copyQueryAnswer, static_cast<DWORD>(answer.size()), &answer[0]};
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(asker, WM_COPYDATA, reinterpret_cast<WPARAM>(phone.window),
                               reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 10000, &result) != 0;
}

// ---- DDEML, serving ----------------------------------------------------------------------

HDDEDATA CALLBACK ddeCallback(UINT type, UINT, HCONV conversation, HSZ hsz1, HSZ hsz2,
                              HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    switch (type) {
        case XTYP_CONNECT:  // hsz1: topic, hsz2: service
            return reinterpret_cast<HDDEDATA>(sameName(hsz2, phone.service) &&
                                              sameName(hsz1, phone.serverTopic));
        case XTYP_CONNECT_CONFIRM:
            phone.served.insert(conversation);
            phoneLog.add("connect Server");
            return nullptr;
        case XTYP_DISCONNECT:
            if (phone.served.erase(conversation) > 0) {
                phoneLog.add("disconnect Server");
                phone.released.erase(conversation);
            }
            return nullptr;
        case XTYP_EXECUTE:
            return serverCommand(conversation, dataBytes(data));
        case XTYP_POKE: {
            const std::string bytes = dataBytes(data);
            phoneLog.add("poke " + std::to_string(bytes.size()) + " rejected " + escapeBytes(bytes));
            return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
        }
        default:
            return nullptr;
    }
}

// ---- The window and the program -------------------------------------------------------

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA: {
            const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            const std::string bytes(static_cast<const char*>(copy->lpData), copy->cbData);
            switch (copy->dwData) {
                case standin::copyCardContents:
                    receiveCard("handoff", bytes);
                    return TRUE;
                case standin::copyCardUnreadable:
                    phoneLog.add("card handoff 0 unreadable " + escapeBytes(bytes));
                    return TRUE;
                case standin::copyControlCommand:
                    return controlCommand(bytes);
                case standin::copyQuery:
                    return controlQuery(bytes, reinterpret_cast<HWND>(wParam));
                default:
                    return FALSE;
            }
        }
        case WM_TIMER:
            if (wParam == progressTimer)
                progressCall();
            else
                releaseHeld(wParam);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool readCard(const char* path, std::string* contents) {
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    contents->clear();
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while (contents->size() < maxCardBytes) {
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        contents->append(buffer, got);
    }
    CloseHandle(file);
    return ok;
}

// A later start: give the card to the running instance and leave.
int handOver(const char* path) {
    if (!path) return 0;
    std::string bytes;
    const bool readable = readCard(path, &bytes);
    if (!readable) bytes = path;

    // The running instance may have taken the mutex but not made its window yet.
    HWND target = nullptr;
    for (int attempt = 0; attempt < 200 && !target; ++attempt) {
        target = FindWindowA(phoneWindowClass, nullptr);
        if (!target) Sleep(50);
    }
    if (!target) return 1;

    COPYDATASTRUCT copy{readable ? standin::copyCardContents : standin::copyCardUnreadable,
                        static_cast<DWORD>(bytes.size()), &bytes[0]};
    DWORD_PTR answer = 0;
    const LRESULT sent = SendMessageTimeoutA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                                             SMTO_NORMAL, 10000, &answer);
    return sent && answer ? 0 : 1;
}

bool startServing(HINSTANCE module) {
    const UINT flags = APPCLASS_STANDARD | APPCMD_FILTERINITS | CBF_SKIP_REGISTRATIONS |
                       CBF_SKIP_UNREGISTRATIONS | CBF_FAIL_ADVISES;
    if (DdeInitializeA(&phone.instance, ddeCallback, flags, 0) != DMLERR_NO_ERROR) return false;
    phone.service = DdeCreateStringHandleA(phone.instance, serviceName, CP_WINANSI);
    phone.serverTopic = DdeCreateStringHandleA(phone.instance, serverTopicName, CP_WINANSI);
    if (!DdeNameService(phone.instance, phone.service, nullptr, DNS_REGISTER)) return false;

    // A top-level window that is never shown: later starts and the control
    // channel find it by class, so it comes after the service is up.
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = phoneWindowClass;
    if (!RegisterClassA(&windowClass)) return false;
    phone.window = CreateWindowExA(0, phoneWindowClass, "Kestrova stand-in phone", WS_OVERLAPPED, 0, 0,
                                   0, 0, nullptr, nullptr, module, nullptr);
    // The sending thread's message loop makes the process count as idle for
    // WaitForInputIdle, so it starts last.
    return phone.window && sender.start();
}

}  // namespace

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int) {
    const char* cardPath = __argc >= 2 ? __argv[1] : nullptr;

    const HANDLE onlyInstance = CreateMutexA(nullptr, FALSE, instanceMutexName);
    if (!onlyInstance) return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const int result = handOver(cardPath);
        CloseHandle(onlyInstance);
        return result;
    }

    // Everything is up before the first message is looked at, so a starter
    // waiting for this process to become idle can connect at once.
    if (!startServing(module)) return 1;
    char pid[16];
    std::snprintf(pid, sizeof pid, "%08lX", GetCurrentProcessId());
    phoneLog.add(std::string("start ") + pid + " " + escapeBytes(GetCommandLineA()));
    if (cardPath) {
        std::string contents;
        if (readCard(cardPath, &contents))
            receiveCard("arg", contents);
        else
            phoneLog.add("card arg 0 unreadable " + escapeBytes(cardPath));
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    DdeNameService(phone.instance, nullptr, nullptr, DNS_UNREGISTER);
    DdeUninitialize(phone.instance);
    sender.stop();
    CloseHandle(onlyInstance);
    return 0;
}
