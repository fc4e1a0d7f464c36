# Cross build for 64-bit (x64) Windows with Debian's MinGW-w64 GCC (posix
# threads).
set(KESTROVA_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/windows-target.cmake)

set(CMAKE_C_COMPILER ${KESTROVA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTROVA_TRIPLE}-g++-posix)
# The phone simulator comes from the 32-bit GCC toolchain.
set(KESTROVA_X86_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
