# Cross build for 32-bit Windows with clang, against the MinGW-w64 headers and
# libraries and GCC's C++ library of the posix thread model (the one the GCC
# build uses), whose thread support comes from the static winpthread.
set(KESTROVA_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/windows-target.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${KESTROVA_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KESTROVA_TRIPLE})

set(gcc_dir /usr/lib/gcc/${KESTROVA_TRIPLE}/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${KESTROVA_TRIPLE}")
# Programs: -pthread puts winpthread into the driver's library group, after
# libstdc++; LLVM's linker, as clang's own (GNU ld warns about GCC's and
# clang's differing copies of libstdc++'s type names). The DLL links no
# runtime library, and links with GNU ld, as the GCC build: LLVM's linker of
# this release writes the export table with ordinal base 0 and an empty slot
# in front of the six exports.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${gcc_dir} -pthread -fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${gcc_dir} -fuse-ld=bfd")
