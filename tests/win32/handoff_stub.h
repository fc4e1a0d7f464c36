// Points KestrovaAPI.dll's import of SHELL32!ShellExecuteA at a stub, so that
// the library's hand-off writes its card and starts nothing: for loops that
// would otherwise start a process on every request, and for measuring the
// library's own share of a request.
#pragma once

#include <windows.h>

#include <cstring>

namespace kestrova_test {

inline long stubbedHandOffs = 0;

inline HINSTANCE WINAPI handOffStub(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) {
    ++stubbedHandOffs;
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));  // above 32: success
}

// Replaces the address in KestrovaAPI.dll's import slot for
// SHELL32!ShellExecuteA and returns the one it held; 0 if there is no slot.
inline ULONG_PTR swapShellImport(ULONG_PTR target) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA("KestrovaAPI.dll"));
    if (!base) return 0;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return 0;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), "SHELL32.dll") != 0 ||
            d->OriginalFirstThunk == 0)
            continue;
        const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "ShellExecuteA") != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                                &protection))
                return 0;
            const ULONG_PTR previous = slot->u1.Function;
            slot->u1.Function = target;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return previous;
        }
    }
    return 0;
}

// For its lifetime the library's hand-off writes the card and starts nothing.
class StubbedHandOff {
public:
    StubbedHandOff() : original_(swapShellImport(reinterpret_cast<ULONG_PTR>(&handOffStub))) {}
    ~StubbedHandOff() {
        if (original_) swapShellImport(original_);
    }
    StubbedHandOff(const StubbedHandOff&) = delete;
    StubbedHandOff& operator=(const StubbedHandOff&) = delete;
    bool active() const { return original_ != 0; }

private:
    ULONG_PTR original_;
};

}  // namespace kestrova_test
