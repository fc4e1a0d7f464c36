# Cross build for 32-bit Windows with LLVM 19: the shipped x86 DLL. Programs
# use the C++ library of MinGW-w64 GCC (posix thread model, whose thread
# support comes from the static winpthread), as the GCC build does.
set(KESTROVA_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTROVA_CXX_HEADERS_TRIPLE ${KESTROVA_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/llvm-windows.cmake)

# -pthread puts winpthread into the driver's library group, after libstdc++.
set(CMAKE_EXE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT} -L${gcc_dir} -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT} -L${gcc_dir}")
