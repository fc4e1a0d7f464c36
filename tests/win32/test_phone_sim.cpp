// The phone simulator on its own, through raw DDEML: what it accepts on
// "Server", what it logs, the control hooks, the notifications it sends to a
// subscriber (a service this test registers), the hand-off of cards from
// later starts, and its command line. No KestrovaAPI here: the library's
// tests rely on all of this.

#include <gtest/gtest.h>
#include <windows.h>
#include <ddeml.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "captured_process.h"
#include "phone_control.h"

namespace {

using kestrova_test::PhoneControl;
using kestrova_test::pumpMessagesFor;
using kestrova_test::pumpUntil;

constexpr char observerName[] = "KestrovaObserver.5E5E0001";

std::string bytesOf(const char* text, std::size_t size) { return std::string(text, size); }

// ---- A subscriber: the service the phone sends notifications to ----------------

struct Received {
    UINT type;
    std::string bytes;
    std::string item;
    UINT format;
};

class Observer;
Observer* activeObserver = nullptr;

// Serves a name on topic "Server" in this thread and records every execute
// and poke, answering each with answer.
class Observer {
public:
    explicit Observer(const char* name) {
        activeObserver = this;
        DdeInitializeA(&instance_, callback,
                       APPCLASS_STANDARD | APPCMD_FILTERINITS | CBF_SKIP_ALLNOTIFICATIONS, 0);
        service_ = DdeCreateStringHandleA(instance_, name, CP_WINANSI);
        topic_ = DdeCreateStringHandleA(instance_, "Server", CP_WINANSI);
        DdeNameService(instance_, service_, nullptr, DNS_REGISTER);
    }
    ~Observer() { close(); }
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    // Withdraws the service and ends its conversations.
    void close() {
        if (instance_ == 0) return;
        DdeNameService(instance_, service_, nullptr, DNS_UNREGISTER);
        DdeFreeStringHandle(instance_, service_);
        DdeFreeStringHandle(instance_, topic_);
        DdeUninitialize(instance_);
        instance_ = 0;
        if (activeObserver == this) activeObserver = nullptr;
    }

    bool waitForCount(std::size_t count, DWORD timeoutMs = 10000) {
        return pumpUntil([&] { return received.size() >= count; }, timeoutMs);
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Received& r : received) out.push_back(r.bytes);
        return out;
    }

    std::vector<Received> received;
    DWORD answer = DDE_FACK;

private:
    static HDDEDATA CALLBACK callback(UINT type, UINT format, HCONV, HSZ hsz1, HSZ hsz2,
                                      HDDEDATA data, ULONG_PTR, ULONG_PTR) {
        Observer* self = activeObserver;
        if (!self) return nullptr;
        switch (type) {
            case XTYP_CONNECT:
                return reinterpret_cast<HDDEDATA>(DdeCmpStringHandles(hsz1, self->topic_) == 0 &&
                                                  DdeCmpStringHandles(hsz2, self->service_) == 0);
            case XTYP_EXECUTE:
            case XTYP_POKE: {
                Received r{type, std::string(DdeGetData(data, nullptr, 0, 0), '\0'), "", format};
                if (!r.bytes.empty())
                    DdeGetData(data, reinterpret_cast<LPBYTE>(&r.bytes[0]),
                               static_cast<DWORD>(r.bytes.size()), 0);
                if (type == XTYP_POKE) {
                    char item[64] = {};
                    DdeQueryStringA(self->instance_, hsz2, item, sizeof item, CP_WINANSI);
                    r.item = item;
                }
                self->received.push_back(std::move(r));
                return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(self->answer));
            }
            default:
                return nullptr;
        }
    }

    DWORD instance_ = 0;
    HSZ service_ = nullptr;
    HSZ topic_ = nullptr;
};

// ---- A client of "Kestrova"/"Server", as the library is ---------------------------

class ServerClient {
public:
    ServerClient() {
        DdeInitializeA(&instance_, callback, APPCMD_CLIENTONLY | CBF_SKIP_ALLNOTIFICATIONS, 0);
        const HSZ service = DdeCreateStringHandleA(instance_, "Kestrova", CP_WINANSI);
        const HSZ topic = DdeCreateStringHandleA(instance_, "Server", CP_WINANSI);
        conversation_ = DdeConnect(instance_, service, topic, nullptr);
        DdeFreeStringHandle(instance_, service);
        DdeFreeStringHandle(instance_, topic);
    }
    ~ServerClient() { DdeUninitialize(instance_); }
    ServerClient(const ServerClient&) = delete;
    ServerClient& operator=(const ServerClient&) = delete;

    bool connected() const { return conversation_ != nullptr; }

    // Whether the phone ended the conversation, as it does when it exits.
    bool endedByThePhone() const {
        CONVINFO info{};
        info.cb = sizeof info;
        return DdeQueryConvInfo(conversation_, QID_SYNC, &info) != 0 &&
               (info.wStatus & ST_TERMINATED) != 0;
    }

    // Sends the bytes as an execute; true when the phone accepted them.
    // error receives DDEML's error when not.
    bool execute(const std::string& bytes, DWORD timeoutMs = 5000, UINT* error = nullptr) {
        DWORD result = 0;
        auto* data = reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data()));
        const bool accepted = DdeClientTransaction(data, static_cast<DWORD>(bytes.size()),
                                                   conversation_, nullptr, 0, XTYP_EXECUTE,
                                                   timeoutMs, &result) != nullptr;
        const UINT last = DdeGetLastError(instance_);
        if (error) *error = accepted ? DMLERR_NO_ERROR : last;
        return accepted;
    }

private:
    static HDDEDATA CALLBACK callback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
        return nullptr;
    }
    DWORD instance_ = 0;
    HCONV conversation_ = nullptr;
};

std::string subscribeCommand(const char* name) {
    return std::string("[subscribe(\"") + name + "\")]";
}

std::string tempPath(const char* file) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + file;
}

// Writes a card the way the library does: text mode, so LF lands as CR LF.
void writeCard(const std::string& path, const std::string& card) {
    FILE* file = std::fopen(path.c_str(), "wt");
    ASSERT_NE(nullptr, file);
    std::fputs(card.c_str(), file);
    std::fclose(file);
}

std::string vcard(const std::string& name, const std::string& number) {
    return "BEGIN:VCARD\nVERSION:2.1\nN:;" + name + "\nTEL;WORK;VOICE:" + number + "\nEND:VCARD\n";
}

std::string onDisk(std::string card) {
    std::string out;
    for (const char c : card) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// The phone's log escaping, for building expected lines.
std::string escaped(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (byte >= 0x20 && byte < 0x7F) out += c;
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        }
    }
    return out;
}

// ---- The fixture: a phone of its own for every test -------------------------------

class PhoneSim : public ::testing::Test {
protected:
    void SetUp() override { startWith(""); }

    void startWith(const std::string& arguments) {
        ASSERT_FALSE(kestrova_test::phoneExePath().empty())
            << "KESTROVA_PHONE_EXE is not set: run under wine-run with KESTROVA_DIAL_HANDLER";
        process_ = kestrova_test::startPhone(arguments);
        ASSERT_NE(nullptr, process_);
        ASSERT_TRUE(control_.connect()) << "the phone's control channel did not come up";
    }

    void TearDown() override {
        if (!process_) return;
        if (control_.connected()) control_.exitPhone();
        if (kestrova_test::waitForExit(process_, 10000) == STILL_ACTIVE)
            TerminateProcess(process_, 1);
        CloseHandle(process_);
    }

    // Subscribes observer's name and waits until the phone has connected to it.
    void subscribe(ServerClient& client, const char* name) {
        ASSERT_TRUE(client.execute(subscribeCommand(name)));
        ASSERT_TRUE(control_.waitForLog(std::string("subscribe connected ") + name));
    }

    std::string lastLineStartingWith(const std::string& prefix) {
        const std::vector<std::string> lines = control_.logLinesStartingWith(prefix);
        return lines.empty() ? std::string("<none>") : lines.back();
    }

    PhoneControl control_;
    HANDLE process_ = nullptr;
};

TEST_F(PhoneSim, StartsIdleAndLogsItsStart) {
    EXPECT_EQ("idle", control_.state());
    const std::vector<std::string> lines = control_.logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines[0].find("start ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find("kestrova-phone-sim.exe")) << lines[0];
    EXPECT_TRUE(control_.subscribers().empty());
}

TEST_F(PhoneSim, CommandsAreMatchedByTheirExactBytes) {
    const struct {
        std::string bytes;
        bool accepted;
        std::string logged;  // the command's log line
    } cases[] = {
        {"[hookoff()]", true, "command 11 accepted [hookoff()]"},
        {"[hangup()]", true, "command 10 accepted [hangup()]"},
        {subscribeCommand("KestrovaObserver.0000ABCD"), true,
         "command 40 accepted [subscribe(\"KestrovaObserver.0000ABCD\")]"},
        {bytesOf("[hookoff()]\0", 12), true, "command 12 accepted [hookoff()]\\x00"},
        {"[hookoff() ]", false, "command 12 unknown [hookoff() ]"},
        {"[HOOKOFF()]", false, "command 11 unknown [HOOKOFF()]"},
        {"hookoff()", false, "command 9 unknown hookoff()"},
        {"[hookoff()]\r\n", false, "command 13 unknown [hookoff()]\\r\\n"},
        {"[subscribe(\"\")]", false, "command 15 unknown [subscribe(\"\")]"},
        {"[subscribe(\"a\"b\")]", false, "command 18 unknown [subscribe(\"a\"b\")]"},
        {"[subscribe(KestrovaObserver.1)]", false, "command 31 unknown [subscribe(KestrovaObserver.1)]"},
        {bytesOf("\x01\\\t\xFF", 4), false, "command 4 unknown \\x01\\\\\\t\\xFF"},
    };
    ServerClient client;
    ASSERT_TRUE(client.connected());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        UINT error = 0;
        EXPECT_EQ(c.accepted, client.execute(c.bytes, 5000, &error));
        if (!c.accepted) {
            EXPECT_EQ(static_cast<UINT>(DMLERR_NOTPROCESSED), error);
        }
        EXPECT_EQ(c.logged, lastLineStartingWith("command "));
    }
}

TEST_F(PhoneSim, RejectModeRefusesEveryCommandAndChangesNothing) {
    ServerClient client;
    ASSERT_TRUE(control_.rejectCommands(true));
    UINT error = 0;
    EXPECT_FALSE(client.execute("[hookoff()]", 5000, &error));
    EXPECT_EQ(static_cast<UINT>(DMLERR_NOTPROCESSED), error);
    EXPECT_FALSE(client.execute(subscribeCommand(observerName)));
    EXPECT_EQ("command 40 rejected [subscribe(\"KestrovaObserver.5E5E0001\")]",
              lastLineStartingWith("command "));
    pumpMessagesFor(200);
    EXPECT_EQ("idle", control_.state());
    EXPECT_TRUE(control_.subscribers().empty());

    ASSERT_TRUE(control_.rejectCommands(false));
    EXPECT_TRUE(client.execute("[hookoff()]"));
    EXPECT_EQ("offhook", control_.state());
}

TEST_F(PhoneSim, HangHoldsEachAnswerForTheGivenTime) {
    ServerClient client;
    const auto heldAndDone = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : control_.logLines())
            if (line.compare(0, 5, "hold ") == 0 || line.compare(0, 8, "command ") == 0)
                lines.push_back(line);
        return lines;
    };
    ASSERT_TRUE(control_.hang(1500));

    // A client that waits longer gets the answer once the time is up.
    EXPECT_TRUE(client.execute("[hookoff()]", 8000));
    EXPECT_EQ((std::vector<std::string>{"hold 1500 11 [hookoff()]", "command 11 accepted [hookoff()]"}),
              heldAndDone());

    // One that waits less gives up, as the library does after 5 s; the phone
    // still carries the command out later.
    UINT error = 0;
    EXPECT_FALSE(client.execute("[hangup()]", 300, &error));
    EXPECT_EQ(static_cast<UINT>(DMLERR_EXECACKTIMEOUT), error);
    EXPECT_EQ("hold 1500 10 [hangup()]", heldAndDone().back());
    EXPECT_TRUE(control_.waitForLog("command 10 accepted [hangup()]", 5000));
    EXPECT_EQ("idle", control_.state());

    // The late answer does not confuse the next command. (Under load the
    // client's DDEML may take the late answer for the next one's, so the
    // phone's side is awaited.)
    ASSERT_TRUE(control_.hang(0));
    EXPECT_TRUE(client.execute("[hookoff()]", 5000));
    EXPECT_TRUE(control_.waitForLog("command 11 accepted [hookoff()]", 5000)) << control_.log();
    EXPECT_EQ("command 11 accepted [hookoff()]", heldAndDone().back());
    EXPECT_TRUE(control_.waitForState("offhook"));
}

TEST_F(PhoneSim, ControlRejectsMalformedHooks) {
    const char* malformed[] = {
        "",
        "bogus",
        "reject maybe",
        "hang",
        "hang -1",
        "hang 99999999999",
        "notify shout 1 [x()]",
        "notify execute 0 [x()]",
        "notify execute many [x()]",
        "incoming",
        "remote answer",  // no call
        "remote hangup",
        "exit now",
    };
    for (const char* text : malformed) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(control_.command(text));
        EXPECT_EQ(std::string("control bad ") + text, control_.lastLogLine());
    }
    EXPECT_EQ("idle", control_.state());
}

// Each step is a command on "Server" ("[...]") or a control hook; after all
// steps of a flow the observer must have received exactly the notifications.
TEST_F(PhoneSim, CallFlowsSendTheirNotifications) {
    const struct {
        const char* flow;
        std::vector<std::string> steps;
        std::vector<std::string> notifications;
    } flows[] = {
        {"dialled, answered by hook-off, hung up",
         {"progress 0", "dial 123 Ann Example", "wait ringing", "[hookoff()]", "[hangup()]"},
         {"[call(\"dialling\",\"Ann Example\",\"123\")]", "[call(\"ringing\",\"Ann Example\",\"123\")]",
          "[call(\"connected\",\"Ann Example\",\"123\")]",
          "[call(\"ended\",\"Ann Example\",\"123\",\"local\")]"}},
        {"dialled, answered and ended by the far end",
         {"progress 0", "dial 555 Bo", "wait ringing", "remote answer", "remote hangup"},
         {"[call(\"dialling\",\"Bo\",\"555\")]", "[call(\"ringing\",\"Bo\",\"555\")]",
          "[call(\"connected\",\"Bo\",\"555\")]", "[call(\"ended\",\"Bo\",\"555\",\"remote\")]"}},
        {"incoming, answered, hung up",
         {"incoming 456 Cy", "[hookoff()]", "[hangup()]"},
         {"[call(\"incoming\",\"Cy\",\"456\")]", "[call(\"connected\",\"Cy\",\"456\")]",
          "[call(\"ended\",\"Cy\",\"456\",\"local\")]"}},
        {"incoming, refused", {"incoming 789 ", "[hangup()]"},
         {"[call(\"incoming\",\"\",\"789\")]", "[call(\"ended\",\"\",\"789\",\"local\")]"}},
        {"line opened and closed, idle hang-up ignored",
         {"[hangup()]", "[hookoff()]", "[hookoff()]", "[hangup()]"},
         {"[line(\"offhook\")]", "[line(\"onhook\")]"}},
        {"dial from an open line, a second call refused while busy",
         {"progress 60000", "[hookoff()]", "dial 1 A", "!incoming 2 B", "!dial 3 C", "[hangup()]"},
         {"[line(\"offhook\")]", "[call(\"dialling\",\"A\",\"1\")]", "[call(\"ended\",\"A\",\"1\",\"local\")]"}},
        {"quotes in a name become single quotes",
         {"incoming 1 say \"hi\"", "remote hangup"},
         {"[call(\"incoming\",\"say 'hi'\",\"1\")]", "[call(\"ended\",\"say 'hi'\",\"1\",\"remote\")]"}},
    };

    Observer observer(observerName);
    ServerClient client;
    subscribe(client, observerName);

    for (const auto& f : flows) {
        SCOPED_TRACE(f.flow);
        observer.received.clear();
        for (const std::string& step : f.steps) {
            SCOPED_TRACE(step);
            if (step[0] == '[') {
                EXPECT_TRUE(client.execute(step));
            } else if (step == "wait ringing") {
                EXPECT_TRUE(control_.waitForState("ringing"));
            } else if (step[0] == '!') {
                EXPECT_FALSE(control_.command(step.substr(1)));
            } else {
                EXPECT_TRUE(control_.command(step));
            }
        }
        EXPECT_TRUE(observer.waitForCount(f.notifications.size()));
        pumpMessagesFor(100);  // nothing more may come
        EXPECT_EQ(f.notifications, observer.texts());
        for (const Received& r : observer.received) EXPECT_EQ(static_cast<UINT>(XTYP_EXECUTE), r.type);
        EXPECT_EQ("idle", control_.state());
    }
}

TEST_F(PhoneSim, LogsEachNotificationWithTheAnswerWord) {
    const struct {
        DWORD answer;
        bool poke;
        std::vector<std::string> verdicts;  // any of them
    } cases[] = {
        {DDE_FACK, false, {"0x8000"}},
        {DDE_FACK, true, {"0x8000"}},
        {DDE_FNOTPROCESSED, false, {"fail:NOTPROCESSED:0x0000"}},
        // Wine's DDEML reports a poke answered DDE_FNOTPROCESSED as done.
        {DDE_FNOTPROCESSED, true, {"fail:NOTPROCESSED:0x0000", "0x0000"}},
    };
    Observer observer(observerName);
    ServerClient client;
    subscribe(client, observerName);
    for (const auto& c : cases) {
        const std::string head =
            std::string("send ") + (c.poke ? "poke " : "execute ") + observerName + " ";
        SCOPED_TRACE(head + c.verdicts[0]);
        observer.answer = c.answer;
        observer.received.clear();
        ASSERT_TRUE(control_.clearLog());
        ASSERT_TRUE(control_.notify("[ping(1)]", 1, c.poke));
        ASSERT_TRUE(observer.waitForCount(1));
        ASSERT_TRUE(control_.waitForLog(head));
        const std::string line = lastLineStartingWith(head);
        bool matched = false;
        for (const std::string& verdict : c.verdicts)
            matched = matched || line == head + verdict + " 9 [ping(1)]";
        EXPECT_TRUE(matched) << line;
    }
}

TEST_F(PhoneSim, NotifySendsTheBytesUnchanged) {
    std::string big = "[big(\"";
    big += std::string(1500, 'x');
    big += "\")]";
    const std::string texts[] = {
        "[call(\"ringing\")]",
        "[name(arg1,\"quoted, (arg)\",arg3)]",
        "[unterminated(\"",
        "no brackets at all",
        bytesOf("[nul(\0)]\xFF", 9),
        big,
    };
    Observer observer(observerName);
    ServerClient client;
    subscribe(client, observerName);
    for (const bool poke : {false, true}) {
        for (const std::string& text : texts) {
            SCOPED_TRACE(escaped(text).substr(0, 40) + (poke ? " poke" : " execute"));
            observer.received.clear();
            ASSERT_TRUE(control_.notify(text, 1, poke));
            ASSERT_TRUE(observer.waitForCount(1)) << control_.log();
            const Received& r = observer.received[0];
            EXPECT_EQ(text, r.bytes);
            EXPECT_EQ(static_cast<UINT>(poke ? XTYP_POKE : XTYP_EXECUTE), r.type);
            if (poke) {
                EXPECT_EQ("notification", r.item);
                EXPECT_EQ(static_cast<UINT>(CF_TEXT), r.format);
            }
        }
    }
    // The log shows the bytes escaped, with their count.
    EXPECT_TRUE(control_.waitForLog(std::string("send execute ") + observerName +
                                    " 0x8000 9 [nul(\\x00)]\\xFF"));
}

TEST_F(PhoneSim, FloodsArriveInFullAndAreLoggedAsOneLine) {
    constexpr unsigned long copies = 2000;
    Observer observer(observerName);
    ServerClient client;
    subscribe(client, observerName);
    ASSERT_TRUE(control_.notify("[tick()]", copies));

    // The phone keeps serving while it floods.
    EXPECT_TRUE(client.execute("[hookoff()]"));
    EXPECT_EQ("offhook", control_.state());

    ASSERT_TRUE(observer.waitForCount(copies, 60000)) << observer.received.size();
    const std::string summary = std::string("flood execute ") + observerName +
                                " 2000 sent=2000 ack=2000 fail=0 last=0x8000 8 [tick()]";
    EXPECT_TRUE(control_.waitForLog(summary)) << control_.log();
    EXPECT_TRUE(control_.logLinesStartingWith("send execute " + std::string(observerName) +
                                              " 0x8000 8 [tick()]")
                    .empty());

    // Unanswered copies are counted, not logged one by one.
    observer.answer = DDE_FNOTPROCESSED;
    ASSERT_TRUE(control_.notify("[tick()]", 50, true));
    const std::string head = std::string("flood poke ") + observerName + " 50 sent=50 ack=0 fail=50 last=";
    ASSERT_TRUE(control_.waitForLog(head)) << control_.log();
    const std::string line = lastLineStartingWith(head);
    EXPECT_EQ(" 8 [tick()]", line.substr(line.size() - 11)) << line;
}

TEST_F(PhoneSim, NotificationsWithoutSubscribersAreLoggedAsUnsent) {
    ASSERT_TRUE(control_.notify("[x()]"));
    ASSERT_TRUE(control_.notify("[x()]", 3, true));
    EXPECT_TRUE(control_.waitForLog("send execute - none 5 [x()]"));
    EXPECT_TRUE(control_.waitForLog("flood poke - 3 none 5 [x()]"));
}

TEST_F(PhoneSim, SubscriptionsFollowTheObserver) {
    ServerClient client;
    // Nobody serves this name: the command is accepted, the connection fails.
    ASSERT_TRUE(client.execute(subscribeCommand("KestrovaObserver.00000000")));
    EXPECT_TRUE(control_.waitForLog("subscribe fail:NO_CONV_ESTABLISHED KestrovaObserver.00000000"));

    auto observer = std::make_unique<Observer>(observerName);
    subscribe(client, observerName);
    ASSERT_TRUE(client.execute(subscribeCommand(observerName)));
    EXPECT_TRUE(control_.waitForLog(std::string("subscribe again ") + observerName));
    EXPECT_EQ(std::vector<std::string>{observerName}, control_.subscribers());

    ASSERT_TRUE(control_.notify("[one()]"));
    ASSERT_TRUE(observer->waitForCount(1));
    EXPECT_EQ(1u, observer->received.size());  // one connection, one copy

    // The observer goes away: the phone forgets it.
    observer->close();
    EXPECT_TRUE(control_.waitForLog(std::string("unsubscribed ") + observerName));
    EXPECT_TRUE(control_.subscribers().empty());
    ASSERT_TRUE(control_.notify("[two()]"));
    EXPECT_TRUE(control_.waitForLog("send execute - none 7 [two()]"));

    // And a new one with the same name is connected afresh.
    observer = std::make_unique<Observer>(observerName);
    subscribe(client, observerName);
    ASSERT_TRUE(control_.notify("[three()]"));
    ASSERT_TRUE(observer->waitForCount(1));
    EXPECT_EQ("[three()]", observer->received[0].bytes);
}

struct Silent {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

// Registers an observer service, dispatches messages long enough for the
// phone to connect, then stops dispatching until released, as a program
// busy elsewhere would.
DWORD WINAPI silentObserver(LPVOID parameter) {
    auto* silent = static_cast<Silent*>(parameter);
    Observer observer("KestrovaObserver.5E5E0002");
    SetEvent(silent->ready);
    pumpMessagesFor(3000);
    WaitForSingleObject(silent->release, INFINITE);
    return 0;
}

TEST_F(PhoneSim, SilentSubscriberTimesOutAndTheFloodSkipsIt) {
    Silent silent;
    const HANDLE thread = CreateThread(nullptr, 0, silentObserver, &silent, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(silent.ready, 10000));

    ServerClient client;
    ASSERT_TRUE(control_.setSendTimeout(300));
    subscribe(client, "KestrovaObserver.5E5E0002");
    pumpMessagesFor(3500);  // the observer's thread is silent now
    ASSERT_TRUE(control_.notify("[tick()]", 20));
    EXPECT_TRUE(control_.waitForLog(
        "flood execute KestrovaObserver.5E5E0002 20 sent=1 ack=0 fail=1 last=fail:EXECACKTIMEOUT:"))
        << control_.log();

    SetEvent(silent.release);
    kestrova_test::pumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 10000);
    CloseHandle(thread);
    CloseHandle(silent.ready);
    CloseHandle(silent.release);
}

TEST_F(PhoneSim, LaterStartsHandTheirCardOver) {
    const std::string path = tempPath("kestrova.vcf");
    const struct {
        std::string card;
        const char* verdict;
        const char* state;
    } cases[] = {
        {vcard("0", "0"), "placeholder", "idle"},
        {vcard("Ann", "123"), "dial", "dialling"},
        {vcard("Bo", "456"), "busy", "dialling"},
        {"BEGIN:VCARD\nN:;Nobody\nEND:VCARD\n", "invalid", "dialling"},
        {vcard("Nobody", ""), "invalid", "dialling"},
    };
    ASSERT_TRUE(control_.setProgressDelay(60000));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verdict);
        writeCard(path, c.card);
        const HANDLE second = kestrova_test::startPhone("\"" + path + "\"");
        ASSERT_NE(nullptr, second);
        EXPECT_EQ(0u, kestrova_test::waitForExit(second, 15000));
        CloseHandle(second);
        const std::string bytes = onDisk(c.card);
        EXPECT_EQ("card handoff " + std::to_string(bytes.size()) + " " + c.verdict + " " +
                      escaped(bytes),
                  lastLineStartingWith("card "));
        EXPECT_EQ(c.state, control_.state());
    }

    // A card that cannot be read is reported by its path.
    const HANDLE missing = kestrova_test::startPhone("\"C:\\no such dir\\kestrova.vcf\"");
    ASSERT_NE(nullptr, missing);
    EXPECT_EQ(0u, kestrova_test::waitForExit(missing, 15000));
    CloseHandle(missing);
    EXPECT_EQ("card handoff 0 unreadable C:\\\\no such dir\\\\kestrova.vcf",
              lastLineStartingWith("card "));

    // Without a card a later start just leaves.
    const std::size_t before = control_.logLines().size();
    const HANDLE bare = kestrova_test::startPhone();
    ASSERT_NE(nullptr, bare);
    EXPECT_EQ(0u, kestrova_test::waitForExit(bare, 15000));
    CloseHandle(bare);
    EXPECT_EQ(before, control_.logLines().size());
}

TEST_F(PhoneSim, TheShellsDialVerbReachesTheRunningPhone) {
    const std::string path = tempPath("kestrova.vcf");
    writeCard(path, vcard("Dee", "0100"));
    // The path as the library passes it, with a doubled separator.
    const std::string doubled = tempPath("\\kestrova.vcf");
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "dial", doubled.c_str(), "", nullptr, SW_MINIMIZE));
    EXPECT_GT(result, 32);
    EXPECT_TRUE(control_.waitForState("ringing", 15000));
    const std::string bytes = onDisk(vcard("Dee", "0100"));
    EXPECT_EQ("card handoff " + std::to_string(bytes.size()) + " dial " + escaped(bytes),
              lastLineStartingWith("card "));
}

// The phone has ended with exitCode: gone from DDE and the control channel.
// client's conversation was ended by it (told), or left as it was.
void expectEnded(HANDLE process, DWORD exitCode, const ServerClient& client, bool told) {
    EXPECT_EQ(exitCode, kestrova_test::waitForExit(process, 10000));
    pumpMessagesFor(200);  // a goodbye on its way
    EXPECT_EQ(told, client.endedByThePhone());
    PhoneControl again;
    EXPECT_FALSE(again.connect(500));
    ServerClient late;
    EXPECT_FALSE(late.connected());
}

TEST_F(PhoneSim, ExitEndsTheProcess) {
    ServerClient client;
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(control_.exitPhone());
    expectEnded(process_, 0, client, true);
}

// The first line of a text, without its line feed.
std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// What a console shows from its first row on, rows joined by line feeds and
// trailing blanks dropped.
std::string consoleText(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info)) return "<no console>";
    std::string text;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
        std::string line(static_cast<std::size_t>(info.dwSize.X), ' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterA(console, &line[0], static_cast<DWORD>(line.size()), COORD{0, row},
                                    &read);
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0) text.pop_back();
    return text;
}

// Runs the simulator's command line with arguments as a script would; with
// viaConsole, as a GUI program started from a console window: no standard
// handles, so it writes to the console of this process, made afresh here.
void runCommandLine(const std::string& arguments, bool viaConsole, DWORD* exitCode,
                    std::string* out, std::string* err) {
    const std::string commandLine = "\"" + kestrova_test::phoneExePath() + "\" " + arguments;
    kestrova_test::CapturedProcess program;
    if (!viaConsole) {
        ASSERT_TRUE(program.start(commandLine));
        *exitCode = program.wait(20000);
        *out = program.out();
        *err = program.err();
        return;
    }
    const HANDLE standard[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                               GetStdHandle(STD_ERROR_HANDLE)};
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    const HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
    const bool started = program.start(commandLine, 0, true);
    *exitCode = started ? program.wait(20000) : STILL_ACTIVE;
    *out = consoleText(console);
    CloseHandle(console);
    FreeConsole();
    SetStdHandle(STD_INPUT_HANDLE, standard[0]);
    SetStdHandle(STD_OUTPUT_HANDLE, standard[1]);
    SetStdHandle(STD_ERROR_HANDLE, standard[2]);
    ASSERT_TRUE(started);
}

// Each command of the command line once against the running simulator, as
// a user would type it: what it prints, its exit code, what it does to the
// call and which notifications it sends.
TEST_F(PhoneSim, CommandLineDrivesTheRunningPhone) {
    const std::string subscriber = std::string("subscribers: ") + observerName + "\n";
    const std::string ann = "[call(\"incoming\",\"Ann Example\",\"+1 555 0100\")]";
    const struct {
        const char* control;  // a control command first, if any
        std::string arguments;
        DWORD exitCode;
        std::string out;        // standard output, whole
        std::string errorLine;  // standard error's first line
        const char* state;      // afterwards; nullptr: the phone has ended
        std::vector<std::string> notifications;
        bool viaConsole;
        std::string logged = {};  // the request's log line, if checked
    } cases[] = {
        {nullptr, "status", 0, "state: idle\n" + subscriber, "", "idle", {}, false},
        {nullptr, "incoming \"Ann Example\" \"+1 555 0100\"", 0,
         "incoming call from Ann Example (+1 555 0100)\n", "", "incoming", {ann}, false,
         "request ok incoming\\x00Ann Example\\x00+1 555 0100"},
        {nullptr, "status", 0, "state: incoming\ncall: Ann Example (+1 555 0100)\n" + subscriber, "",
         "incoming", {}, true},
        {nullptr, "incoming Bo 1", 1, "",
         "kestrova-phone-sim incoming: the line is busy: a call with Ann Example (+1 555 0100) is "
         "incoming",
         "incoming", {}, false},
        {nullptr, "answer", 1, "",
         "kestrova-phone-sim answer: no outgoing call is waiting to be answered (state: incoming)",
         "incoming", {}, false, "request refused answer"},
        {nullptr, "remote-hangup", 0, "the far end hung up: the call with Ann Example (+1 555 0100) ended\n",
         "", "idle", {"[call(\"ended\",\"Ann Example\",\"+1 555 0100\",\"remote\")]"}, false},
        {nullptr, "remote-hangup", 1, "", "kestrova-phone-sim remote-hangup: there is no call to end (state: idle)",
         "idle", {}, false},
        {"dial 0100 Cy", "answer", 0, "the far end answered: connected to Cy (0100)\n", "", "connected",
         {"[call(\"dialling\",\"Cy\",\"0100\")]", "[call(\"connected\",\"Cy\",\"0100\")]"}, false},
        {nullptr, "send \"[note(\\\"a, b\\\",c)]\"", 0, std::string("sending to ") + observerName + "\n", "",
         "connected", {"[note(\"a, b\",c)]"}, false},
        {nullptr, "incoming Dee", 2, "", "kestrova-phone-sim: incoming takes 2 arguments", "connected", {},
         false},
        {nullptr, "stauts", 2, "", "kestrova-phone-sim: unknown command stauts", "connected", {}, false},
        {nullptr, "quit", 0, "the simulator ends\n", "", nullptr, {}, false},
        {nullptr, "status", 3, "",
         "kestrova-phone-sim: no simulator is running (start one with kestrova-phone-sim alone, or let "
         "the library start it)",
         nullptr, {}, false},
    };

    Observer observer(observerName);
    ServerClient client;
    subscribe(client, observerName);
    ASSERT_TRUE(control_.setProgressDelay(60000));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments + (c.viaConsole ? " (console)" : ""));
        observer.received.clear();
        if (c.control) {
            ASSERT_TRUE(control_.command(c.control));
        }
        DWORD exitCode = STILL_ACTIVE;
        std::string out;
        std::string err;
        runCommandLine(c.arguments, c.viaConsole, &exitCode, &out, &err);
        EXPECT_EQ(c.exitCode, exitCode);
        EXPECT_EQ(c.out, out);
        EXPECT_EQ(c.errorLine, firstLine(err));
        if (c.state) {
            EXPECT_EQ(c.state, control_.state());
        } else {
            EXPECT_EQ(0u, kestrova_test::waitForExit(process_, 15000));
        }
        EXPECT_TRUE(observer.waitForCount(c.notifications.size(), 5000));
        pumpMessagesFor(50);  // nothing more may come
        EXPECT_EQ(c.notifications, observer.texts());
        if (!c.logged.empty()) {
            EXPECT_EQ(c.logged, lastLineStartingWith("request "));
        }
    }
}

// crash ends the phone as a crash would: its clients are not told.
TEST_F(PhoneSim, CrashEndsTheProcessWithoutAGoodbye) {
    ServerClient client;
    ASSERT_TRUE(client.connected());
    DWORD exitCode = STILL_ACTIVE;
    std::string out;
    std::string err;
    runCommandLine("crash", false, &exitCode, &out, &err);
    EXPECT_EQ(0u, exitCode) << err;
    EXPECT_EQ("the simulator crashes: its subscribers and clients are not told\n", out);
    expectEnded(process_, 9, client, false);
}

// A registry key and everything below it, a line per key and per value.
void dumpKey(HKEY root, const std::string& path, std::string* out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        *out += path + " (none)\n";
        return;
    }
    *out += path + "\n";
    std::vector<char> name(32768);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) !=
            ERROR_SUCCESS)
            break;
        *out += "  " + std::string(name.data(), nameSize) + " " + std::to_string(type) + " " +
                escaped(std::string(reinterpret_cast<char*>(data.data()), dataSize)) + "\n";
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(key, i, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name.data(), nameSize);
    }
    RegCloseKey(key);
    for (const std::string& subkey : subkeys) dumpKey(root, path + "\\" + subkey, out);
}

// The names of a key's subkeys, a line each.
std::string subkeyNames(HKEY root, const char* path) {
    std::string names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    char name[1024];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names += std::string(name, size) + "\n";
    }
    RegCloseKey(key);
    return names;
}

std::string classValue(const std::string& key) {
    char value[1024];
    LONG size = sizeof value;
    return RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), value, &size) == ERROR_SUCCESS
               ? std::string(value)
               : std::string("(none)");
}

// Puts the shell's "dial" on .vcf files through its paces: true when the
// running phone received a card to dial.
bool shellDialReachesThePhone(PhoneControl& control) {
    const std::string path = tempPath("kestrova.vcf");
    writeCard(path, vcard("Reg", "0100"));
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "dial", path.c_str(), "", nullptr, SW_MINIMIZE));
    const bool reached = result > 32 && control.waitForState("dialling", 15000);
    control.remoteHangUp();
    return reached;
}

// register then unregister on the machines a user may have: the class of
// .vcf files has a "dial" already (the one this test's prefix registers),
// has none (a contacts program's class), or there is no class at all.
// In between "dial" reaches the simulator and opening a card is untouched;
// afterwards every key and value is as before. Wine reads only the
// machine's classes, which is where the simulator registers there, and
// where these situations are set up.
TEST_F(PhoneSim, RegisterThenUnregisterLeavesTheRegistryAsItWas) {
    const HKEY machine = HKEY_LOCAL_MACHINE;
    const std::string classes = "Software\\Classes";
    const std::string extension = classes + "\\.vcf";
    const std::string ownCommand = "\"" + kestrova_test::phoneExePath() + "\" \"%1\"";
    std::string prefixClass;
    ASSERT_NE("(none)", prefixClass = classValue(".vcf"));
    const auto setExtension = [&](const char* className) {
        if (className)
            RegSetKeyValueA(machine, extension.c_str(), nullptr, REG_SZ, className,
                            static_cast<DWORD>(std::strlen(className) + 1));
        else
            RegDeleteKeyValueA(machine, extension.c_str(), nullptr);
    };
    const auto snapshot = [&] {
        std::string text = subkeyNames(machine, classes.c_str());
        for (const char* key : {".vcf", "KestrovaCard", "ContactsCard", "KestrovaPhoneSim.Card"})
            dumpKey(machine, classes + "\\" + key, &text);
        dumpKey(HKEY_CURRENT_USER, "Software", &text);
        return text;
    };
    const struct {
        const char* situation;
        const char* cardClass;  // what .vcf belongs to; nullptr: nothing
        const char* dialClass;  // the class that gets the "dial"
    } cases[] = {
        {"the class has a dial", prefixClass.c_str(), prefixClass.c_str()},
        {"the class has none", "ContactsCard", "ContactsCard"},
        {"no class", nullptr, "KestrovaPhoneSim.Card"},
    };
    const std::string openCommand = "contacts.exe \"%1\"";
    RegSetKeyValueA(machine, (classes + "\\ContactsCard\\shell\\open\\command").c_str(), nullptr, REG_SZ,
                    openCommand.c_str(), static_cast<DWORD>(openCommand.size() + 1));
    ASSERT_TRUE(control_.setProgressDelay(60000));

    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        setExtension(c.cardClass);
        const std::string before = snapshot();

        DWORD exitCode = STILL_ACTIVE;
        std::string out;
        std::string err;
        runCommandLine("register", false, &exitCode, &out, &err);
        EXPECT_EQ(0u, exitCode) << err;
        EXPECT_NE(std::string::npos, out.find(std::string("(class ") + c.dialClass + ")")) << out;
        EXPECT_EQ(ownCommand, classValue(std::string(c.dialClass) + "\\shell\\dial\\command"));
        EXPECT_EQ(c.cardClass ? c.cardClass : c.dialClass, classValue(".vcf"));
        EXPECT_EQ(openCommand, classValue("ContactsCard\\shell\\open\\command"));
        EXPECT_TRUE(shellDialReachesThePhone(control_));

        runCommandLine("unregister", false, &exitCode, &out, &err);
        EXPECT_EQ(0u, exitCode) << err;
        EXPECT_EQ("unregistered: removed what register added\n", out);
        EXPECT_EQ(before, snapshot());
    }
    // Nothing handles "dial" again once the class register made is gone.
    const std::string path = tempPath("kestrova.vcf");
    EXPECT_EQ(SE_ERR_NOASSOC, reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "dial", path.c_str(), "",
                                                                      nullptr, SW_MINIMIZE)));
    setExtension(prefixClass.c_str());
    RegDeleteTreeA(machine, (classes + "\\ContactsCard").c_str());
}

// Started by the shell with a card, as the library's first kestrovaDial does.
class PhoneSimStartedWithACard : public PhoneSim {
protected:
    void SetUp() override {
        path_ = tempPath("kestrova.vcf");
        writeCard(path_, vcard("Eve", "+44 20 7946 0000"));
        startWith("\"" + path_ + "\"");
    }
    std::string path_;
};

TEST_F(PhoneSimStartedWithACard, DialsItsOwnCard) {
    const std::string bytes = onDisk(vcard("Eve", "+44 20 7946 0000"));
    EXPECT_EQ("card arg " + std::to_string(bytes.size()) + " dial " + escaped(bytes),
              control_.logLines().at(1));
    EXPECT_TRUE(control_.waitForState("ringing"));
    // Nobody had subscribed yet: the events went nowhere.
    const std::string dialling = "[call(\"dialling\",\"Eve\",\"+44 20 7946 0000\")]";
    EXPECT_TRUE(control_.waitForLog("send execute - none " + std::to_string(dialling.size()) + " " +
                                    dialling))
        << control_.log();
}

}  // namespace
