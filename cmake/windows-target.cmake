# What both Windows toolchains share: the target, where the MinGW-w64 headers
# and libraries live, and Wine as the way to run what they build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTROVA_TRIPLE i686-w64-mingw32)
set(CMAKE_RC_COMPILER ${KESTROVA_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTROVA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine, each in a fresh prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/win32/wine-run)
