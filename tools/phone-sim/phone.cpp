#include "phone.h"

#include "control.h"
#include "control_channel.h"
#include "dde_server.h"
#include "log.h"
#include "notifier.h"

namespace phone_sim {
namespace {

constexpr UINT_PTR ringTimer = 1;
constexpr UINT crashMessage = WM_APP + 1;

struct Phone {
    HWND window = nullptr;
    Call call;
    DWORD ringDelayMs = 100;
};

Phone phone;

// Sends what a move of the call caused; the ring timer only runs while dialling.
void moved(std::string notification) {
    if (!notification.empty()) queueNotification(std::move(notification));
    if (phone.call.state() != CallState::Dialling) KillTimer(phone.window, ringTimer);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA:
            return controlMessage(reinterpret_cast<HWND>(wParam),
                                  *reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_TIMER:
            if (wParam == ringTimer)
                moved(phone.call.ring());
            else
                releaseHeldCommand(wParam);
            return 0;
        case crashMessage:
            TerminateProcess(GetCurrentProcess(), crashExitCode);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

bool createPhoneWindow(HINSTANCE module) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = phoneWindowClass;
    if (!RegisterClassA(&windowClass)) return false;
    // Top-level so that FindWindow finds it, and never shown.
    phone.window = CreateWindowExA(0, phoneWindowClass, "Kestrova stand-in phone", WS_OVERLAPPED, 0, 0,
                                   0, 0, nullptr, nullptr, module, nullptr);
    return phone.window != nullptr;
}

HWND phoneWindow() { return phone.window; }

const Call& currentCall() { return phone.call; }

bool dialCall(const std::string& name, const std::string& number) {
    if (!phone.call.lineFree()) return false;
    moved(phone.call.dial(name, number));
    SetTimer(phone.window, ringTimer, phone.ringDelayMs, nullptr);
    return true;
}

bool incomingCall(const std::string& name, const std::string& number) {
    if (!phone.call.lineFree()) return false;
    moved(phone.call.incoming(name, number));
    return true;
}

void hookOff() { moved(phone.call.hookOff()); }
void hangUp() { moved(phone.call.hangUp()); }

bool remoteAnswer() {
    if (!phone.call.awaitingAnswer()) return false;
    moved(phone.call.remoteAnswer());
    return true;
}

bool remoteHangUp() {
    if (phone.call.lineFree()) return false;
    moved(phone.call.remoteHangUp());
    return true;
}

void setRingDelay(DWORD ms) { phone.ringDelayMs = ms; }

// Posted, so that the request that asked for it is answered first.
void crashSoon() { PostMessageA(phone.window, crashMessage, 0, 0); }

void receiveCard(const char* source, const std::string& contents) {
    const Card card = parseCard(contents);
    const std::string verdict = cardVerdict(card, phone.call.lineFree());
    // Logged before the call starts: the line comes before its notifications'.
    logLine(std::string("card ") + source + " " + std::to_string(contents.size()) + " " + verdict +
            " " + escapeBytes(contents));
    if (verdict == "dial") dialCall(card.name, card.number);
}

}  // namespace phone_sim
