# Cross build for x64 Windows with LLVM 19: the shipped x64 DLL. Programs use
# the C++ library of MinGW-w64 GCC (posix thread model), as the GCC build
# does; the phone simulator comes from the 32-bit LLVM toolchain.
set(KESTROVA_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTROVA_CXX_HEADERS_TRIPLE ${KESTROVA_TRIPLE})
set(KESTROVA_X86_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/llvm-i686.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/llvm-windows.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT} -L${gcc_dir} -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT} -L${gcc_dir}")
