#include "notifier.h"

#include <ddeml.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <vector>

#include "dde_util.h"
#include "lock.h"
#include "log.h"
#include "phone_text.h"

namespace phone_sim {
namespace {

constexpr char senderClassName[] = "KestrovaStandinPhoneSender";
constexpr char pokeItemName[] = "notification";
constexpr UINT workMessage = WM_APP + 1;
// A slice of work gives the thread's message loop a turn at least this often.
constexpr DWORD workSliceMs = 20;

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
    HWND window = nullptr;  // this side's window of the conversation
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
    Sender() = default;
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

    std::atomic<DWORD> sendTimeoutMs{5000};  // set by the serving thread

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
        // Wine leaves the conversation's window behind when the partner ended
        // it first. Every later DdeConnect on the machine sends each such
        // window its initiate and waits for it, so a simulator that saw a
        // thousand subscribers go would make every connection slow.
        if (subscriber.window && IsWindow(subscriber.window) &&
            GetWindowThreadProcessId(subscriber.window, nullptr) == GetCurrentThreadId())
            DestroyWindow(subscriber.window);
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
        logLine("unsubscribed " + gone.name);
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
                logLine("subscribe again " + name);
                return;
            }
        }
        Subscriber subscriber;
        subscriber.name = name;
        const UINT flags = APPCMD_CLIENTONLY | CBF_SKIP_ALLNOTIFICATIONS;
        if (DdeInitializeA(&subscriber.instance, ddeCallback, flags, 0) != DMLERR_NO_ERROR) {
            logLine("subscribe fail:DdeInitialize " + escapeBytes(name));
            return;
        }
        subscriber.topic = DdeCreateStringHandleA(subscriber.instance, serverTopicName, CP_WINANSI);
        subscriber.pokeItem = DdeCreateStringHandleA(subscriber.instance, pokeItemName, CP_WINANSI);
        const HSZ service = DdeCreateStringHandleA(subscriber.instance, name.c_str(), CP_WINANSI);
        subscriber.conversation = DdeConnect(subscriber.instance, service, subscriber.topic, nullptr);
        const UINT error = DdeGetLastError(subscriber.instance);
        DdeFreeStringHandle(subscriber.instance, service);
        if (!subscriber.conversation) {
            logLine("subscribe fail:" + ddeErrorName(error) + " " + escapeBytes(name));
            close(subscriber);
            return;
        }
        CONVINFO info{};
        info.cb = sizeof info;
        if (DdeQueryConvInfo(subscriber.conversation, QID_SYNC, &info)) subscriber.window = info.hwnd;
        {
            Locked hold(lock_);
            subscribers_.push_back(subscriber);
        }
        logLine("subscribe connected " + name);
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
            logLine(std::string("send ") + typeWord(item.type) + " - none " + describe(item));
            return;
        }
        for (const Subscriber& target : targets) {
            bool timedOut = false;
            const std::string verdict = transact(target, item, &timedOut);
            logLine(std::string("send ") + typeWord(item.type) + " " + target.name + " " +
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
            logLine(head + "- " + std::to_string(item.count) + " none " + describe(item));
        for (const auto& [name, tally] : flood_.tallies) {
            logLine(head + name + " " + std::to_string(item.count) + " sent=" +
                         std::to_string(tally.sent) + " ack=" + std::to_string(tally.acked) +
                         " fail=" + std::to_string(tally.failed) + " last=" + tally.last + " " +
                         describe(item));
        }
        return true;
    }

    Lock lock_;  // work_, posted_, subscribers_
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

}  // namespace

bool startNotifier() { return sender.start(); }
void stopNotifier() { sender.stop(); }

void queueSubscription(std::string service) {
    Work item;
    item.kind = Work::Connect;
    item.text = std::move(service);
    sender.queue(std::move(item));
}

void queueNotification(std::string bytes, UINT type, unsigned long count) {
    Work item;
    item.text = std::move(bytes);
    item.type = type;
    item.count = count;
    sender.queue(std::move(item));
}

std::string subscriberNames() { return sender.subscriberNames(); }
void setSendTimeout(DWORD ms) { sender.sendTimeoutMs = ms; }

}  // namespace phone_sim
