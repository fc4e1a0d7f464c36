// The simulator's control channel: WM_COPYDATA messages sent to its window
// (a hidden top-level window of class "KestrovaStandinPhone"). Kept apart
// from DDE so that later starts, the command line and tests can steer and
// inspect the phone whatever state its DDE conversations are in.
#pragma once

#include <windows.h>

#include <string>

namespace phone_sim {

constexpr char phoneWindowClass[] = "KestrovaStandinPhone";

// COPYDATASTRUCT::dwData values.
// To the phone, from a later start of the program: a card's bytes, or the
// path of a card that could not be read.
constexpr ULONG_PTR copyCardContents = 1;
constexpr ULONG_PTR copyCardUnreadable = 2;
// To the phone: a control command (the text, no terminator). The phone
// returns TRUE when it carried the command out, FALSE when it refused it.
constexpr ULONG_PTR copyControlCommand = 0x4B430001;
// To the phone: a query (the item's name, e.g. "log"), with the window to
// answer to in wParam. Before returning TRUE the phone sends that window a
// copyQueryAnswer message holding the answer's text.
constexpr ULONG_PTR copyQuery = 0x4B430002;
constexpr ULONG_PTR copyQueryAnswer = 0x4B430003;
// To the phone, from a command line: a request, its words separated by NUL
// bytes ("incoming\0Ann Example\0+1 555 0100"), with the window to answer
// to in wParam. The phone sends that window a copyQueryAnswer message
// holding the answer's text, then returns TRUE when it carried the request
// out, FALSE when it is malformed or does not apply now.
constexpr ULONG_PTR copyRequest = 0x4B430004;

// The asking side: a message-only window that takes the simulator's answer
// (copyQueryAnswer) while this thread waits in SendMessage.
class AnswerWindow {
public:
    AnswerWindow() {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = proc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassA(&windowClass);  // fails harmlessly when already registered
        window_ = CreateWindowExA(0, className, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~AnswerWindow() {
        if (window_) DestroyWindow(window_);
    }
    AnswerWindow(const AnswerWindow&) = delete;
    AnswerWindow& operator=(const AnswerWindow&) = delete;

    // Sends the simulator's window a message of kind holding text, waiting up
    // to timeoutMs. False when it could not be delivered; otherwise *result
    // is what the simulator returned, and answered() and text() what it
    // answered meanwhile.
    bool send(HWND phone, ULONG_PTR kind, const std::string& text, DWORD timeoutMs,
              DWORD_PTR* result) {
        text_.clear();
        answered_ = false;
        COPYDATASTRUCT copy{kind, static_cast<DWORD>(text.size()), const_cast<char*>(text.data())};
        *result = FALSE;
        return SendMessageTimeoutA(phone, WM_COPYDATA, reinterpret_cast<WPARAM>(window_),
                                   reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, timeoutMs,
                                   result) != 0;
    }

    bool answered() const { return answered_; }
    const std::string& text() const { return text_; }

private:
    static constexpr char className[] = "KestrovaPhoneAnswer";

    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<AnswerWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self) {
            const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (copy->dwData != copyQueryAnswer) return FALSE;
            self->text_.assign(static_cast<const char*>(copy->lpData), copy->cbData);
            self->answered_ = true;
            return TRUE;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
    std::string text_;
    bool answered_ = false;
};

}  // namespace phone_sim
