// The real DLL under Wine with no application handling "dial" on .vcf files:
// the hand-off file is still written, byte for byte, and the shell's error
// comes back unchanged. Also what the module shows of itself: it is not
// called for thread starts and ends, and it carries the project's version
// and copyright notice.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KestrovaAPI.h"

namespace {

constexpr int noAssociation = 31;  // SE_ERR_NOASSOC

std::string handoffFile() {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + "kestrova.vcf";
}

// The file's bytes as stored on disk, or "<missing>".
std::string readHandoffFile() {
    FILE* file = std::fopen(handoffFile().c_str(), "rb");
    if (!file) return "<missing>";
    std::string bytes;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

std::string cardOnDisk(const std::string& name, const std::string& number) {
    return "BEGIN:VCARD\r\nVERSION:2.1\r\nN:;" + name + "\r\nTEL;WORK;VOICE:" + number +
           "\r\nEND:VCARD\r\n";
}

TEST(NoAssociation, StartupWritesThePlaceholderWithCrLfAndReturnsTheShellError) {
    DeleteFileA(handoffFile().c_str());
    EXPECT_EQ(noAssociation, kestrovaStartup());
    const std::string bytes = readHandoffFile();
    EXPECT_EQ(61u, bytes.size());
    EXPECT_EQ(cardOnDisk("0", "0"), bytes);
}

TEST(NoAssociation, DialWritesTheCardVerbatim) {
    const struct {
        const char* name;
        const char* number;
        std::string onDisk;
    } cases[] = {
        {"Ann Example", "+1 555 0100", cardOnDisk("Ann Example", "+1 555 0100")},
        {"", "", cardOnDisk("", "")},
        {nullptr, nullptr, cardOnDisk("", "")},
        {"a;b,c", "1\n2", cardOnDisk("a;b,c", "1\r\n2")},
        {"\xC4nne", "0", cardOnDisk("\xC4nne", "0")},  // ANSI text, unconverted
    };
    for (const auto& c : cases) {
        EXPECT_EQ(noAssociation, kestrovaDial(c.name, c.number));
        EXPECT_EQ(c.onDisk, readHandoffFile());
    }
}

TEST(NoAssociation, OverlongCardIsRefusedAndTheFileLeftAlone) {
    ASSERT_EQ(noAssociation, kestrovaDial("Ann", "1"));
    const std::string before = readHandoffFile();
    const std::string name(500, 'n');
    EXPECT_EQ(-1, kestrovaDial(name.c_str(), std::string(470, '1').c_str()));
    EXPECT_EQ(before, readHandoffFile());

    EXPECT_EQ(noAssociation, kestrovaDial(name.c_str(), std::string(469, '1').c_str()));
    EXPECT_EQ(cardOnDisk(name, std::string(469, '1')), readHandoffFile());
}

TEST(NoAssociation, CallControlStopsAtTheHandoff) {
    EXPECT_EQ(noAssociation, kestrovaHookOff());
    EXPECT_EQ(noAssociation, kestrovaHangUp());
    EXPECT_EQ(noAssociation, kestrovaAddObserver(nullptr));
    EXPECT_EQ(-1, kestrovaRemoveObserver([](int, char**) {}));
    EXPECT_EQ(0, kestrovaRemoveObserver(nullptr));  // none registered: matches
}

TEST(NoAssociation, FileFollowsTheTemporaryDirectory) {
    const char* dir = "C:\\kestrova temp dir\\";
    ASSERT_TRUE(CreateDirectoryA(dir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(SetEnvironmentVariableA("TMP", dir));
    ASSERT_TRUE(SetEnvironmentVariableA("TEMP", dir));
    EXPECT_EQ(noAssociation, kestrovaStartup());
    FILE* file = std::fopen("C:\\kestrova temp dir\\kestrova.vcf", "rb");
    ASSERT_NE(nullptr, file);
    std::fseek(file, 0, SEEK_END);
    EXPECT_EQ(61, std::ftell(file));
    std::fclose(file);
}

HMODULE library() { return GetModuleHandleA("KestrovaAPI.dll"); }

using EntryPoint = BOOL(WINAPI*)(HINSTANCE, DWORD, void*);

// Counts attempts to run the DLL's entry point: its code page is made
// inaccessible, and the first fault there is counted and the page restored.
class EntryWatch {
public:
    EntryWatch() {
        const auto* base = reinterpret_cast<const BYTE*>(library());
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        entry_ = reinterpret_cast<BYTE*>(library()) + nt->OptionalHeader.AddressOfEntryPoint;
        page_ = reinterpret_cast<BYTE*>(reinterpret_cast<ULONG_PTR>(entry_) & ~ULONG_PTR{0xFFF});
        handler_ = AddVectoredExceptionHandler(1, onFault);
    }
    ~EntryWatch() {
        restore();
        RemoveVectoredExceptionHandler(handler_);
    }
    EntryPoint entry() const { return reinterpret_cast<EntryPoint>(entry_); }
    void arm() {
        restore();
        VirtualProtect(page_, 1, PAGE_NOACCESS, &protection_);
    }
    static LONG calls() { return calls_; }

private:
    static LONG CALLBACK onFault(EXCEPTION_POINTERS* fault) {
        const EXCEPTION_RECORD* record = fault->ExceptionRecord;
        if (!onWatchedPage(record)) return EXCEPTION_CONTINUE_SEARCH;
        InterlockedIncrement(&calls_);
        restore();
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    // Windows reports running code on the page as an access violation at
    // that address. An emulated x86 processor (qemu's, under Wine on a
    // kernel that runs no 32-bit programs) reports it as an illegal
    // instruction there instead.
    static bool onWatchedPage(const EXCEPTION_RECORD* record) {
        const BYTE* address = nullptr;
        if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
            address = reinterpret_cast<const BYTE*>(record->ExceptionInformation[1]);
        else if (record->ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION && protection_ != 0)
            address = static_cast<const BYTE*>(record->ExceptionAddress);
        return address >= page_ && address < page_ + 0x1000;
    }
    static void restore() {
        DWORD ignored;
        if (protection_ != 0) VirtualProtect(page_, 1, protection_, &ignored);
        protection_ = 0;
    }

    BYTE* entry_;
    void* handler_;
    static inline BYTE* page_ = nullptr;
    static inline DWORD protection_ = 0;
    static inline LONG calls_ = 0;
};

DWORD WINAPI doNothing(void*) { return 0; }

TEST(Module, IsNotCalledForThreadStartsAndEnds) {
    EntryWatch watch;
    watch.arm();
    HANDLE thread = CreateThread(nullptr, 0, doNothing, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(0, EntryWatch::calls());

    // The watch does see a call, made here as the loader would make it.
    const LONG before = EntryWatch::calls();
    watch.arm();
    EXPECT_TRUE(watch.entry()(library(), DLL_THREAD_ATTACH, nullptr));
    EXPECT_EQ(before + 1, EntryWatch::calls());
}

TEST(Module, CarriesTheProjectVersion) {
    char path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(library(), path, sizeof path));
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeA(path, &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, static_cast<DWORD>(info.size()), info.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    const DWORD high = MAKELONG(KESTROVA_VERSION_MINOR, KESTROVA_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, KESTROVA_VERSION_PATCH);
    EXPECT_EQ(high, fixed->dwFileVersionMS);
    EXPECT_EQ(low, fixed->dwFileVersionLS);
    EXPECT_EQ(high, fixed->dwProductVersionMS);
    EXPECT_EQ(low, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

    const struct {
        const char* name;
        const char* expected;  // nullptr: any text
    } strings[] = {
        {"FileVersion", KESTROVA_VERSION}, {"ProductVersion", KESTROVA_VERSION},
        {"InternalName", "KestrovaAPI"},   {"OriginalFilename", "KestrovaAPI.dll"},
        {"ProductName", "KestrovaAPI"},    {"FileDescription", nullptr},
        {"LegalCopyright", KESTROVA_COPYRIGHT},
    };
    for (const auto& s : strings) {
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + s.name;
        ASSERT_TRUE(VerQueryValueA(info.data(), key.c_str(), &value, &length)) << s.name;
        const char* text = static_cast<const char*>(value);
        EXPECT_GT(std::strlen(text), 0u) << s.name;
        if (s.expected) {
            EXPECT_STREQ(s.expected, text) << s.name;
        }
    }
}

}  // namespace
