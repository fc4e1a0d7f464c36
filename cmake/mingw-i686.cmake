# Cross build for 32-bit Windows with Debian's MinGW-w64 GCC (posix threads).
include(${CMAKE_CURRENT_LIST_DIR}/windows-target.cmake)

set(CMAKE_C_COMPILER ${KESTROVA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTROVA_TRIPLE}-g++-posix)
