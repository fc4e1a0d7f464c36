#include "control.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "control_channel.h"
#include "dde_server.h"
#include "log.h"
#include "notifier.h"
#include "phone.h"
#include "phone_text.h"

namespace phone_sim {
namespace {

constexpr std::size_t controlEchoLimit = 256;

bool parseMs(std::string_view text, DWORD* value) {
    unsigned long parsed = 0;
    if (!parseCount(text, &parsed)) return false;
    *value = parsed;
    return true;
}

// ---- Control commands (tests) ----------------------------------------------------

// Checks a control command and, when act is set, carries it out. Checked
// first and carried out after its log line, so that the line comes before
// anything the command makes the sending thread log.
bool runControl(std::string_view text, bool act) {
    const auto [word, rest] = splitWord(text);
    DWORD ms = 0;
    if (word == "reject") {
        if (rest != "on" && rest != "off") return false;
        if (act) setRejectCommands(rest == "on");
        return true;
    }
    if (word == "hang" || word == "progress" || word == "timeout") {
        if (!parseMs(rest, &ms) || (word == "timeout" && ms == 0)) return false;
        if (!act) return true;
        if (word == "hang")
            setCommandHold(ms);
        else if (word == "progress")
            setRingDelay(ms);
        else
            setSendTimeout(ms);
        return true;
    }
    if (word == "notify") {
        const auto [type, more] = splitWord(rest);
        const auto [countText, bytes] = splitWord(more);
        unsigned long count = 0;
        if ((type != "execute" && type != "poke") || !parseCount(countText, &count) || count == 0)
            return false;
        if (act) queueNotification(std::string(bytes), type == "poke" ? XTYP_POKE : XTYP_EXECUTE, count);
        return true;
    }
    if (word == "incoming" || word == "dial") {
        const auto [number, name] = splitWord(rest);
        if (number.empty() || !currentCall().lineFree()) return false;
        if (!act) return true;
        return word == "dial" ? dialCall(std::string(name), std::string(number))
                              : incomingCall(std::string(name), std::string(number));
    }
    if (word == "remote") {
        if (rest == "answer" && currentCall().awaitingAnswer()) return !act || remoteAnswer();
        if (rest == "hangup" && !currentCall().lineFree()) return !act || remoteHangUp();
        return false;
    }
    if (word == "clearlog" && rest.empty()) {
        if (act) clearLog();
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
    logLine(std::string("control ") + (valid ? "ok " : "bad ") + escapeBytes(bytes, controlEchoLimit));
    return valid && runControl(bytes, true);
}

// Sends text to the asker's window, which is waiting in its own SendMessage
// and so takes it at once.
bool answer(HWND asker, std::string text) {
    COPYDATASTRUCT copy{copyQueryAnswer, static_cast<DWORD>(text.size()), &text[0]};
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(asker, WM_COPYDATA, reinterpret_cast<WPARAM>(phoneWindow()),
                               reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 10000, &result) != 0;
}

bool controlQuery(const std::string& item, HWND asker) {
    if (item == "log") return answer(asker, logText());
    if (item == "state") return answer(asker, stateWord(currentCall().state()));
    if (item == "subscribers") return answer(asker, subscriberNames());
    return false;
}

// ---- Requests (the command line) --------------------------------------------------

// What a request would do now: whether it applies, what to answer, and
// what to do once it is logged.
struct Plan {
    bool applies = false;
    std::string answer;
    std::function<void()> act;
};

Plan refused(std::string why) { return Plan{false, std::move(why), nullptr}; }

std::vector<std::string> requestWords(const std::string& bytes) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = bytes.find('\0', start);
        words.push_back(bytes.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return words;
        start = end + 1;
    }
}

// "Ann Example (+1 555 0100)", or the number alone when there is no name.
std::string party(const std::string& name, const std::string& number) {
    return name.empty() ? number : name + " (" + number + ")";
}

std::string party(const Call& call) { return party(call.name(), call.number()); }

std::string stateNow(const Call& call) {
    return std::string("(state: ") + stateWord(call.state()) + ")";
}

// Lines "a\nb\n" as "a, b", or "none".
std::string listed(const std::string& lines) {
    std::string out;
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        if (!out.empty()) out += ", ";
        out.append(lines, start, end - start);
        start = end + 1;
    }
    return out.empty() ? "none" : out;
}

Plan planRequest(const std::vector<std::string>& words) {
    const Call& call = currentCall();
    const std::string& verb = words[0];
    const std::size_t arguments = words.size() - 1;
    if (verb == "incoming" && arguments == 2) {
        if (words[2].empty()) return refused("an incoming call needs a number");
        if (!call.lineFree())
            return refused("the line is busy: a call with " + party(call) + " is " +
                           stateWord(call.state()));
        const std::string name = words[1];
        const std::string number = words[2];
        return Plan{true, "incoming call from " + party(name, number),
                    [name, number] { incomingCall(name, number); }};
    }
    if (verb == "answer" && arguments == 0) {
        if (!call.awaitingAnswer())
            return refused("no outgoing call is waiting to be answered " + stateNow(call));
        return Plan{true, "the far end answered: connected to " + party(call), [] { remoteAnswer(); }};
    }
    if (verb == "remote-hangup" && arguments == 0) {
        if (call.lineFree()) return refused("there is no call to end " + stateNow(call));
        return Plan{true, "the far end hung up: the call with " + party(call) + " ended",
                    [] { remoteHangUp(); }};
    }
    if (verb == "send" && arguments == 1) {
        if (words[1].empty()) return refused("the notification text is empty");
        const std::string subscribers = subscriberNames();
        if (subscribers.empty()) return refused("nobody is subscribed: nothing was sent");
        const std::string text = words[1];
        return Plan{true, "sending to " + listed(subscribers), [text] { queueNotification(text); }};
    }
    if (verb == "status" && arguments == 0) {
        std::string text = std::string("state: ") + stateWord(call.state());
        if (!call.lineFree()) text += "\ncall: " + party(call);
        text += "\nsubscribers: " + listed(subscriberNames());
        return Plan{true, text, nullptr};
    }
    if (verb == "quit" && arguments == 0)
        return Plan{true, "the simulator ends", [] { PostQuitMessage(0); }};
    if (verb == "crash" && arguments == 0)
        return Plan{true, "the simulator crashes: its subscribers and clients are not told",
                    [] { crashSoon(); }};
    return refused("unknown request");
}

bool request(const std::string& bytes, HWND asker) {
    const Plan plan = planRequest(requestWords(bytes));
    logLine(std::string("request ") + (plan.applies ? "ok " : "refused ") +
            escapeBytes(bytes, controlEchoLimit));
    if (plan.applies && plan.act) plan.act();
    return answer(asker, plan.answer) && plan.applies;
}

}  // namespace

LRESULT controlMessage(HWND asker, const COPYDATASTRUCT& copy) {
    const std::string bytes(static_cast<const char*>(copy.lpData), copy.cbData);
    switch (copy.dwData) {
        case copyCardContents:
            receiveCard("handoff", bytes);
            return TRUE;
        case copyCardUnreadable:
            logLine("card handoff 0 unreadable " + escapeBytes(bytes));
            return TRUE;
        case copyControlCommand:
            return controlCommand(bytes);
        case copyQuery:
            return controlQuery(bytes, asker);
        case copyRequest:
            return request(bytes, asker);
        default:
            return FALSE;
    }
}

}  // namespace phone_sim
