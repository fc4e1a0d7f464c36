// Points KestrovaAPI.dll's import of SHELL32!ShellExecuteA at a stub, so that
// the library's hand-off writes its card and starts nothing: for loops that
// would otherwise start a process on every request, and for measuring the
// library's own share of a request. rawHandOff does the same hand-off without
// the library, for the controls the library is compared with. PatchedImport
// puts a stand-in into any other import of the DLL the same way.
#pragma once

#include <windows.h>
#include <share.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrova_test {

inline long stubbedHandOffs = 0;

inline HINSTANCE WINAPI handOffStub(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) {
    ++stubbedHandOffs;
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));  // above 32: success
}

// The module's import slot for library!function; nullptr if none.
inline ULONG_PTR* importSlot(const char* library, const char* function,
                             const char* module = "KestrovaAPI.dll") {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(module));
    if (!base) return nullptr;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return nullptr;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), library) != 0 ||
            d->OriginalFirstThunk == 0)
            continue;
        const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<ULONG_PTR*>(&slot->u1.Function);
        }
    }
    return nullptr;
}

inline ULONG_PTR* shellImportSlot(const char* module = "KestrovaAPI.dll") {
    return importSlot("SHELL32.dll", "ShellExecuteA", module);
}

// Puts target into the import slot and returns what it held; 0 if no slot.
inline ULONG_PTR swapImport(ULONG_PTR* slot, ULONG_PTR target) {
    DWORD protection = 0;
    if (!slot || !VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return 0;
    const ULONG_PTR previous = *slot;
    *slot = target;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return previous;
}

// For its lifetime the module's import of library!function goes to target.
class PatchedImport {
public:
    template <typename Function>
    PatchedImport(const char* library, const char* function, Function* target,
                  const char* module = "KestrovaAPI.dll")
        : slot_(importSlot(library, function, module)),
          original_(swapImport(slot_, reinterpret_cast<ULONG_PTR>(target))) {}
    ~PatchedImport() {
        if (original_) swapImport(slot_, original_);
    }
    PatchedImport(const PatchedImport&) = delete;
    PatchedImport& operator=(const PatchedImport&) = delete;
    bool active() const { return original_ != 0; }

private:
    ULONG_PTR* slot_;
    ULONG_PTR original_;
};

// For its lifetime the library's hand-off writes the card and starts nothing.
class StubbedHandOff : public PatchedImport {
public:
    explicit StubbedHandOff(const char* module = "KestrovaAPI.dll")
        : PatchedImport("SHELL32.dll", "ShellExecuteA", &handOffStub, module) {}
};

// The library's placeholder hand-off done by hand: the same card written the
// same way (C runtime, text mode, other writers denied) to the same file,
// then the shell called through the library's own import slot, so stubbed
// exactly when the library's hand-off is. Returns 0, -3 if the file was not written, -1 if
// the DLL has no such slot, or the shell's error.
inline int rawHandOff() {
    static const char card[] = "BEGIN:VCARD\nVERSION:2.1\nN:;0\nTEL;WORK;VOICE:0\nEND:VCARD\n";
    static const char fileName[] = "\\kestrova.vcf";
    static ULONG_PTR* const slot = shellImportSlot();
    using Shell = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    const DWORD length = GetTempPathA(0, nullptr);
    char* path = static_cast<char*>(std::malloc(length + sizeof fileName));
    std::memcpy(path + GetTempPathA(length, path), fileName, sizeof fileName);
    FILE* file = _fsopen(path, "wt", _SH_DENYWR);
    const bool written = file && std::fwrite(card, 1, sizeof card - 1, file) == sizeof card - 1;
    if (file) std::fclose(file);
    const INT_PTR shell = written && slot ? reinterpret_cast<INT_PTR>(reinterpret_cast<Shell>(*slot)(
                                                nullptr, "dial", path, "", nullptr, SW_MINIMIZE))
                                          : -1;
    std::free(path);
    return !written ? -3 : shell > 32 ? 0 : static_cast<int>(shell);
}

}  // namespace kestrova_test
