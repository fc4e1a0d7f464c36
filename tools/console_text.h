// Output of the command-line tools: a console shows text in a code page of
// its own, so it gets the text as UTF-16; a file or a pipe gets the bytes.
#pragma once

#include <windows.h>

#include <string>

namespace tools {

// Writes all of text, read in codePage, to handle. False when it could not
// (no handle, or a write failed: GetLastError says why).
inline bool writeText(HANDLE handle, const std::string& text, UINT codePage) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        const int size = static_cast<int>(text.size());
        std::wstring wide(text.size(), L'\0');
        const int length = MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], size);
        return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(length > 0 ? length : 0),
                             &written, nullptr) != 0;
    }
    for (std::size_t done = 0; done < text.size(); done += written) {
        if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       nullptr) ||
            written == 0)
            return false;
    }
    return true;
}

}  // namespace tools
