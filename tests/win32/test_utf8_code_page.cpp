// The real DLL in a program whose manifest makes UTF-8 its ANSI code page,
// as .NET, Python and Electron programs increasingly do, with the phone
// simulator as the handler of "dial" on .vcf files.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "handoff_stub.h"
#include "library_test_support.h"

namespace kestrova_test {
namespace {

// WideCharToMultiByte as Windows answers it for UTF-8, which Wine does not
// enforce: only the flags 0 and WC_ERR_INVALID_CHARS, and no used-default
// report; anything else fails.
int WINAPI utf8AsWindowsConverts(UINT codePage, DWORD flags, LPCWCH wide, int wideLength,
                                 LPSTR bytes, int capacity, LPCCH defaultChar,
                                 LPBOOL usedDefault) {
    const bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && GetACP() == CP_UTF8);
    if (utf8 && (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (utf8 && (defaultChar || usedDefault)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WideCharToMultiByte(codePage, flags, wide, wideLength, bytes, capacity, defaultChar,
                               usedDefault);
}

// Each case dials with the temporary directory in a folder whose name is
// not plain ASCII; the phone, an ANSI program of another code page, must
// read the whole card.
TEST(Utf8CodePage, DialledCardReachesThePhone) {
    ASSERT_EQ(static_cast<UINT>(CP_UTF8), GetACP()) << "the manifest's activeCodePage was ignored";
    wchar_t base[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, base));
    const std::wstring folder = std::wstring(base) + L"Zo\x00EB";
    CreateDirectoryW(folder.c_str(), nullptr);
    TempDirectoryAs temp(folder + L"\\");
    PhoneControl phone;
    const struct {
        const char* conversion;
        bool asWindows;
    } cases[] = {{"Wine's", false}, {"Windows's", true}};
    for (const auto& c : cases) {
        const std::string number = c.asWindows ? "+1 555 0101" : "+1 555 0100";
        {
            std::optional<PatchedImport> standIn;
            if (c.asWindows) standIn.emplace("KERNEL32.dll", "WideCharToMultiByte", &utf8AsWindowsConverts);
            ASSERT_TRUE(!standIn || standIn->active());
            ASSERT_EQ(0, kestrovaDial("Ann Example", number.c_str())) << c.conversion;
        }
        ASSERT_TRUE(phone.connect());
        const std::string onDisk = cardOnDisk("Ann Example", number);
        EXPECT_TRUE(phone.waitForLog(std::to_string(onDisk.size()) + " dial " +
                                     phone_sim::escapeBytes(onDisk)))
            << c.conversion << " conversion: " << phone.log();
        phone.remoteHangUp();
        EXPECT_TRUE(phone.waitForState("idle"));
    }
}

}  // namespace
}  // namespace kestrova_test
