// An observer that calls the library back, and calls from threads that do
// not own the link, under Wine. A small DDE server on a thread of this
// program plays a phone that notifies while it holds a command; the
// notifications come from another thread of this program. The phone
// simulator, in its own process, checks the subscription that follows a
// self-removal: under Wine an in-process client cannot reach the observer
// service again once it is registered afresh.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "handoff_stub.h"
#include "library_test_support.h"

namespace kestrova_test {
namespace {

// A thread with a message loop of its own that runs the jobs it is given.
// Each DDEML instance below lives on one such thread.
class JobThread {
public:
    JobThread() {
        const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, loop, ready, 0, &id_);
        WaitForSingleObject(ready, 10000);
        CloseHandle(ready);
    }
    ~JobThread() {
        PostThreadMessageA(id_, WM_QUIT, 0, 0);
        pumpUntil([&] { return WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }, 10000);
        CloseHandle(thread_);
    }
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    // Runs work there and waits for it, dispatching this thread's messages
    // meanwhile unless told not to (inside a DDEML callback: at most 4 s).
    void run(std::function<void()> work, bool dispatch = true) {
        auto* job = new Job{std::move(work), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
        const HANDLE done = job->done;
        PostThreadMessageA(id_, WM_APP, 0, reinterpret_cast<LPARAM>(job));
        const auto finished = [&] { return WaitForSingleObject(done, 0) == WAIT_OBJECT_0; };
        const bool inTime = dispatch ? pumpUntil(finished, 20000)
                                     : WaitForSingleObject(done, 4000) == WAIT_OBJECT_0;
        if (inTime) CloseHandle(done);  // else a late job still signals it
    }

private:
    struct Job {
        std::function<void()> work;
        HANDLE done;
    };
    static DWORD WINAPI loop(LPVOID ready) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        SetEvent(ready);
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_APP && !message.hwnd) {
                auto* job = reinterpret_cast<Job*>(message.lParam);
                job->work();
                SetEvent(job->done);
                delete job;
            } else {
                DispatchMessageA(&message);
            }
        }
        return 0;
    }
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
};

// Sends notifications to the library's observer service from a thread of
// its own.
class Notifier {
public:
    ~Notifier() {
        thread_.run([this] { client_.reset(); });
    }
    bool connect() {
        bool connected = false;
        thread_.run([&] {
            client_ = std::make_unique<RawClient>();
            connected = client_->connect(observerServiceName(), "Server");
        });
        return connected;
    }
    // True when the library acknowledged the notification as processed.
    bool notify(const std::string& text, bool dispatch = true) {
        bool acknowledged = false;
        thread_.run(
            [&] { acknowledged = client_->execute(text.data(), static_cast<DWORD>(text.size())); },
            dispatch);
        return acknowledged;
    }

private:
    JobThread thread_;
    std::unique_ptr<RawClient> client_;
};

// Serves "Kestrova"/"Server" on a thread of its own and accepts every
// command; the one after holdNextCommand is answered only once a notifier
// has delivered a notification, as a phone that notifies while it holds a
// command. This thread and the library's take turns, each waiting for the
// other's DDE message, so the fields need no lock.
class HoldingPhone {
public:
    HoldingPhone() {
        current = this;
        thread_.run([this] {
            server_ = std::make_unique<RawClient>();
            server_->serve("Kestrova", receive);
        });
    }
    ~HoldingPhone() {
        thread_.run([this] { server_.reset(); });
        current = nullptr;
    }
    void holdNextCommand(Notifier* notifier, const std::string& text) {
        holder_ = notifier;
        heldText_ = text;
    }
    std::vector<std::string> commands;
    bool heldNotificationAcknowledged = false;

private:
    static bool receive(const char* bytes, DWORD size) {
        HoldingPhone& self = *current;
        self.commands.emplace_back(bytes, size);
        if (Notifier* notifier = std::exchange(self.holder_, nullptr))
            self.heldNotificationAcknowledged = notifier->notify(self.heldText_, false);
        return true;
    }
    static inline HoldingPhone* current = nullptr;
    JobThread thread_;
    std::unique_ptr<RawClient> server_;
    Notifier* holder_ = nullptr;
    std::string heldText_;
};

// A program's thread: it subscribes, dispatches messages until its observer
// ends the loop, then does what it does after the loop.
class ProgramThread {
public:
    ProgramThread(std::function<int()> subscribe, std::function<void()> afterLoop)
        : thread_([this, subscribe, afterLoop] {
              id_ = GetCurrentThreadId();
              subscribed_ = subscribe();
              InterlockedExchange(&ready_, 1);
              MSG message;
              while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
              afterLoop();
              InterlockedExchange(&finished_, 1);
          }) {}
    ~ProgramThread() { join(); }
    int subscribed() {
        pumpUntil([&] { return ready_ != 0; }, 20000);
        return subscribed_;
    }
    // Waits for the thread; ends its loop if the observer has not in time.
    void join() {
        if (!thread_.joinable()) return;
        if (!pumpUntil([&] { return finished_ != 0; }, 20000))
            PostThreadMessageA(id_, WM_QUIT, 0, 0);
        thread_.join();
    }

private:
    DWORD id_ = 0;
    int subscribed_ = 1;
    volatile LONG ready_ = 0;
    volatile LONG finished_ = 0;
    std::thread thread_;
};

int nestedResult = 0;
DWORD nestedMs = 0;

void KESTROVA_CALL hangingUpObserver(int count, char** tokens) {
    recordNotification(count, tokens);
    const DWORD start = GetTickCount();
    nestedResult = kestrovaHangUp();
    nestedMs = GetTickCount() - start;
}

void KESTROVA_CALL removingObserver(int count, char** tokens) {
    recordNotification(count, tokens);
    nestedResult = kestrovaRemoveObserver(removingObserver);
}

// Removes itself through removeLeaving, then ends its thread's message loop
// before the put-off close has run, as a program that is done may do.
int(KESTROVA_CALL* removeLeaving)(ObserverCallback) = kestrovaRemoveObserver;
void KESTROVA_CALL leavingObserver(int count, char** tokens) {
    recordNotification(count, tokens);
    nestedResult = removeLeaving(leavingObserver);
    PostQuitMessage(0);
}

int timerTicks = 0;
void CALLBACK countTick(HWND, UINT, UINT_PTR, DWORD) { ++timerTicks; }

class Reentrancy : public ::testing::Test {
protected:
    void SetUp() override {
        received().clear();
        nestedResult = 1;
        ASSERT_TRUE(stub->active());
    }
    void TearDown() override {
        for (ObserverCallback observer :
             {hangingUpObserver, removingObserver, leavingObserver, recordNotification})
            kestrovaRemoveObserver(observer);
        kestrovaRemoveObserver(nullptr);
    }
    std::unique_ptr<StubbedHandOff> stub = std::make_unique<StubbedHandOff>();
    std::unique_ptr<HoldingPhone> phone = std::make_unique<HoldingPhone>();
    const std::string subscribe = "[subscribe(\"" + observerServiceName() + "\")]";
};

TEST_F(Reentrancy, RequestFromTheObserverWhileACommandWaitsFailsAtOnce) {
    ASSERT_EQ(0, kestrovaAddObserver(hangingUpObserver));
    Notifier notifier;
    ASSERT_TRUE(notifier.connect());
    phone->holdNextCommand(&notifier, "[call(\"incoming\",\"Blocked\",\"1\")]");
    EXPECT_EQ(0, kestrovaHookOff());
    EXPECT_EQ(-1, nestedResult);
    EXPECT_LT(nestedMs, 2500u) << "a command waited for the phone";
    EXPECT_TRUE(phone->heldNotificationAcknowledged);
    EXPECT_EQ(1u, received().size());
    EXPECT_EQ((std::vector<std::string>{subscribe, "[hookoff()]"}), phone->commands);
}

TEST_F(Reentrancy, OnlyTheThreadThatMadeTheLinkMayUseIt) {
    ASSERT_EQ(0, kestrovaHookOff());
    const long handOffs = stubbedHandOffs;
    std::vector<int> results;
    DWORD ms = 0;
    JobThread other;
    other.run([&] {
        const DWORD start = GetTickCount();
        results = {kestrovaHookOff(), kestrovaHangUp(), kestrovaAddObserver(recordNotification),
                   kestrovaRemoveObserver(nullptr)};
        ms = GetTickCount() - start;
    });
    EXPECT_EQ((std::vector<int>{-1, -1, -1, -1}), results);
    EXPECT_LT(ms, 2500u);
    EXPECT_EQ(handOffs, stubbedHandOffs);
    EXPECT_EQ(0, kestrovaHangUp());
    EXPECT_EQ((std::vector<std::string>{"[hookoff()]", "[hangup()]"}), phone->commands);
}

// The link's thread ends with its close put off, and another thread removes.
// The library holds a handle to the link's thread until the link is closed
// or forgotten, and the system frees a thread's id only with its last
// handle: no other thread can have that id meanwhile, so there is no need
// to look for one with a loop of threads.
TEST_F(Reentrancy, LinkOfAThreadThatEndedIsForgottenAndTheCallersTimerKeepsRunning) {
    volatile LONG released = 0;
    // Under Wine a thread that ends in a DDE conversation waits some 10 s for
    // the partner's answer: the partners end theirs first, while the thread
    // handles DDE messages only and so leaves the put-off close undone.
    ProgramThread owner([] { return kestrovaAddObserver(leavingObserver); }, [&] {
        MSG message;
        for (const DWORD start = GetTickCount(); !released && GetTickCount() - start < 20000;) {
            if (PeekMessageA(&message, nullptr, WM_DDE_FIRST, WM_DDE_LAST, PM_REMOVE))
                DispatchMessageA(&message);
            else
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    });
    ASSERT_EQ(0, owner.subscribed());
    {
        Notifier notifier;
        ASSERT_TRUE(notifier.connect());
        EXPECT_FALSE(notifier.notify("[bye()]"));
    }
    phone.reset();
    InterlockedExchange(&released, 1);
    owner.join();
    EXPECT_EQ(0, nestedResult);
    EXPECT_EQ(-1, kestrovaHookOff()) << "the link should still belong to the ended thread";

    // A fresh thread: under Wine its first timer has the number of the
    // ended thread's first one, the library's put-off close.
    int removed = 1;
    timerTicks = 0;
    JobThread other;
    other.run([&] {
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, countTick);
        removed = kestrovaRemoveObserver(nullptr);
        pumpMessagesFor(500);
        KillTimer(nullptr, timer);
    });
    EXPECT_EQ(0, removed);
    EXPECT_GE(timerTicks, 2) << "the removal stopped the caller's own timer";
    phone = std::make_unique<HoldingPhone>();
    EXPECT_EQ(0, kestrovaHookOff());  // the link is free for a new owner
}

// The observer removes itself and ends the loop; the program then removes
// the observer as after any loop, unloads the library and goes on with DDE
// and its messages: none of that may reach the unloaded library. A copy of
// the DLL is loaded for this, as the one the tests import cannot be
// unloaded.
TEST_F(Reentrancy, UnloadingAfterTheObserverRemovedItselfAndTheLoopEnded) {
    const std::string name = observerServiceName();
    char original[MAX_PATH];
    char copy[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(GetModuleHandleA("KestrovaAPI.dll"), original, MAX_PATH));
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, copy));
    lstrcatA(copy, "KestrovaAPI-unloaded.dll");
    ASSERT_TRUE(CopyFileA(original, copy, FALSE));
    const HMODULE library = LoadLibraryA(copy);
    ASSERT_NE(nullptr, library);
    using Export = int(KESTROVA_CALL*)(ObserverCallback);
    const auto add = reinterpret_cast<Export>(
        reinterpret_cast<void*>(GetProcAddress(library, "kestrovaAddObserver")));
    removeLeaving = reinterpret_cast<Export>(
        reinterpret_cast<void*>(GetProcAddress(library, "kestrovaRemoveObserver")));

    int removed = 1;
    bool reachable = true;
    volatile LONG unloaded = 0;
    volatile LONG probed = 0;
    {
        ProgramThread program(
            [&] {
                const StubbedHandOff copyStub("KestrovaAPI-unloaded.dll");
                return add(leavingObserver);
            },
            [&] {
                removed = removeLeaving(leavingObserver);
                reachable = RawClient().connect(name, "Server");
                FreeLibrary(library);
                InterlockedExchange(&unloaded, 1);
                pumpUntil([&] { return probed != 0; }, 10000);
                pumpMessagesFor(500);
            });
        Notifier notifier;
        ASSERT_EQ(0, program.subscribed());
        EXPECT_TRUE(notifier.connect());
        EXPECT_FALSE(notifier.notify("[bye()]"));
        pumpUntil([&] { return unloaded != 0; }, 20000);
        EXPECT_FALSE(notifier.notify("[after()]"));
        InterlockedExchange(&probed, 1);
        program.join();
    }
    removeLeaving = kestrovaRemoveObserver;
    DeleteFileA(copy);
    EXPECT_EQ(0, nestedResult);
    EXPECT_EQ(-1, removed);  // no longer the observer, yet the link closed
    EXPECT_FALSE(reachable) << "the observer service is still there";
}

// Last: it leaves the phone simulator running.
TEST_F(Reentrancy, ObserverThatRemovesItselfIsSafeAndTheNextSubscriptionWorks) {
    const std::string name = observerServiceName();
    // In a plain notification: answered 0, and nothing reaches it after.
    ASSERT_EQ(0, kestrovaAddObserver(removingObserver));
    {
        Notifier notifier;
        ASSERT_TRUE(notifier.connect());
        EXPECT_FALSE(notifier.notify("[first()]"));
        EXPECT_EQ(0, nestedResult);
        EXPECT_FALSE(notifier.notify("[second()]"));
    }
    EXPECT_EQ(1u, received().size());
    EXPECT_TRUE(pumpUntil([&] { return !RawClient().connect(name, "Server"); }, 5000))
        << "the observer service is still there";

    // While a command waits: the command completes, then the link closes.
    received().clear();
    nestedResult = 1;
    ASSERT_EQ(0, kestrovaAddObserver(removingObserver));
    {
        Notifier notifier;
        ASSERT_TRUE(notifier.connect());
        phone->holdNextCommand(&notifier, "[during()]");
        EXPECT_EQ(0, kestrovaHookOff());
        EXPECT_EQ(0, nestedResult);
        EXPECT_FALSE(phone->heldNotificationAcknowledged);
        EXPECT_FALSE(notifier.notify("[after()]"));
    }
    EXPECT_EQ(1u, received().size());
    EXPECT_FALSE(RawClient().connect(name, "Server"));

    // The next subscription, with the phone simulator in its own process.
    phone.reset();
    stub.reset();
    received().clear();
    ASSERT_EQ(0, retryWhileUnreachable([] { return kestrovaAddObserver(recordNotification); }));
    PhoneControl standIn;
    ASSERT_TRUE(standIn.connect());
    ASSERT_TRUE(standIn.notify("[back()]"));
    ASSERT_TRUE(waitForNotifications(1)) << standIn.log();
    EXPECT_EQ((Notification{"back"}), received()[0]);
}

}  // namespace
}  // namespace kestrova_test
