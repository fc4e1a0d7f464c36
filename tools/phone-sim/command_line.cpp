#include "command_line.h"

#include <windows.h>

#include <vector>

#include "console_text.h"
#include "control_channel.h"
#include "registration.h"

namespace phone_sim {
namespace {

constexpr char programName[] = "kestrova-phone-sim";
constexpr DWORD answerTimeoutMs = 10000;
constexpr DWORD quitWaitMs = 15000;
constexpr std::size_t maxCardBytes = 1 << 20;

constexpr char usage[] =
    "usage: kestrova-phone-sim [CARD]            start the simulator (a later start hands\n"
    "                                            CARD to the running one)\n"
    "       kestrova-phone-sim register          handle the shell's \"dial\" action on .vcf files\n"
    "       kestrova-phone-sim unregister        undo exactly what register did\n"
    "       kestrova-phone-sim incoming NAME NUMBER   a call comes in\n"
    "       kestrova-phone-sim answer            the far end answers the outgoing call\n"
    "       kestrova-phone-sim remote-hangup     the far end ends the call\n"
    "       kestrova-phone-sim send TEXT         send TEXT to every subscriber, as is\n"
    "       kestrova-phone-sim status            the call's state and the subscribers\n"
    "       kestrova-phone-sim quit              end the running simulator\n"
    "       kestrova-phone-sim crash             end it at once, as a crash would: no goodbye\n"
    "                                            to its subscribers and clients\n"
    "exit codes: 0 done, 1 does not apply now or failed, 2 usage, 3 no simulator running";

// ---- Output ------------------------------------------------------------------------

// The console of the program that started us, attached on first need.
// Wine attaches a GUI program to its parent's console from the start
// (AttachConsole then fails with ERROR_ACCESS_DENIED); Windows does not.
HANDLE parentConsole() {
    static HANDLE console = nullptr;
    if (!console) {
        AttachConsole(ATTACH_PARENT_PROCESS);
        console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return console;
}

void print(DWORD standardHandle, const std::string& text) {
    const std::string line = text + "\n";
    if (!tools::writeText(GetStdHandle(standardHandle), line, CP_ACP))
        tools::writeText(parentConsole(), line, CP_ACP);
}

// ---- Requests to the running simulator ------------------------------------------

int noSimulator() {
    printErrorLine(std::string(programName) +
                   ": no simulator is running (start one with kestrova-phone-sim alone, or let "
                   "the library start it)");
    return exitNoSimulator;
}

// Sends the words to the running simulator and prints its answer.
int request(const std::vector<std::string>& words) {
    const HWND phone = FindWindowA(phoneWindowClass, nullptr);
    if (!phone) return noSimulator();
    // quit and crash wait for the process to end, so that a new start right
    // after does not meet the old one still ending.
    HANDLE process = nullptr;
    if (words[0] == "quit" || words[0] == "crash") {
        DWORD processId = 0;
        GetWindowThreadProcessId(phone, &processId);
        process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    }

    std::string bytes;
    for (const std::string& word : words) bytes += (bytes.empty() ? "" : std::string(1, '\0')) + word;
    AnswerWindow answer;
    DWORD_PTR result = FALSE;
    const bool sent = answer.send(phone, copyRequest, bytes, answerTimeoutMs, &result);
    int code = exitDone;
    if (!sent || answer.text().empty()) {
        code = noSimulator();
    } else if (result == TRUE) {
        printLine(answer.text());
    } else {
        printErrorLine(std::string(programName) + " " + words[0] + ": " + answer.text());
        code = exitRefused;
    }
    if (process) {
        if (code == exitDone) WaitForSingleObject(process, quitWaitMs);
        CloseHandle(process);
    }
    return code;
}

// How many arguments each request takes.
struct RequestForm {
    const char* verb;
    int arguments;
};
constexpr RequestForm requestForms[] = {
    {"incoming", 2}, {"answer", 0}, {"remote-hangup", 0}, {"send", 1}, {"status", 0}, {"quit", 0},
    {"crash", 0},
};

int usageError(const std::string& why) {
    printErrorLine(std::string(programName) + ": " + why);
    printErrorLine(usage);
    return exitUsage;
}

// ---- Cards from later starts -----------------------------------------------------

}  // namespace

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

void printLine(const std::string& text) { print(STD_OUTPUT_HANDLE, text); }
void printErrorLine(const std::string& text) { print(STD_ERROR_HANDLE, text); }

bool runCommandLine(int argc, char** argv, int* exitCode) {
    if (argc < 2) return false;
    const std::string verb = argv[1];
    const int arguments = argc - 2;
    // The command's own result, or a usage error when the count is wrong.
    const auto run = [&](int wanted, const auto& command) {
        if (arguments == wanted) {
            *exitCode = command();
        } else {
            *exitCode = usageError(verb + " takes " + std::to_string(wanted) + " argument" +
                                   (wanted == 1 ? "" : "s"));
        }
        return true;
    };
    if (verb == "help" || verb == "--help" || verb == "/?") {
        printLine(usage);
        *exitCode = exitDone;
        return true;
    }
    if (verb == "register") return run(0, registerDialHandler);
    if (verb == "unregister") return run(0, unregisterDialHandler);
    for (const RequestForm& form : requestForms) {
        if (verb == form.verb)
            return run(form.arguments,
                       [&] { return request(std::vector<std::string>(argv + 1, argv + argc)); });
    }
    // The shell passes a card as a full path; a bare word is a mistyped command.
    if (verb.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos) {
        *exitCode = usageError("unknown command " + verb);
        return true;
    }
    return false;
}

bool handOverCard(HANDLE instanceMutex, const char* path, int* exitCode) {
    std::string bytes;
    const bool readable = path && readCard(path, &bytes);
    if (path && !readable) bytes = path;

    // The running instance may have taken the mutex but not made its window
    // yet, or may be ending: its window gone, the mutex about to be free.
    *exitCode = 1;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const HWND target = FindWindowA(phoneWindowClass, nullptr);
        if (target && !path) {
            *exitCode = 0;
            return true;
        }
        if (target) {
            COPYDATASTRUCT copy{readable ? copyCardContents : copyCardUnreadable,
                                static_cast<DWORD>(bytes.size()), &bytes[0]};
            DWORD_PTR answer = 0;
            if (SendMessageTimeoutA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                                    SMTO_NORMAL, 10000, &answer)) {
                *exitCode = answer ? 0 : 1;
                return true;
            }
            // The phone is busy: the card stays queued for it and is taken
            // once it dispatches again. Sending it again would dial twice.
            if (GetLastError() == ERROR_TIMEOUT) return true;
        }
        const DWORD wait = WaitForSingleObject(instanceMutex, 50);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return false;
    }
    return true;
}

}  // namespace phone_sim
