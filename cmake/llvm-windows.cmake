# What the LLVM 19 toolchains share (Debian's clang-19, lld-19, llvm-19): the
# builds whose DLLs ship, hardened in KestrovaWin32.cmake (Control Flow
# Guard, CET compatibility, a PDB). The file that includes this one sets
# KESTROVA_TRIPLE, CMAKE_SYSTEM_PROCESSOR and KESTROVA_CXX_HEADERS_TRIPLE,
# the MinGW-w64 GCC whose C++ library headers (and, where one exists, C++
# library) the C++ sources use.
include(${CMAKE_CURRENT_LIST_DIR}/windows-target.cmake)
set(KESTROVA_TOOLCHAIN_LLVM ON)

set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_ASM_COMPILER clang-19)
foreach(language C CXX ASM)
    set(CMAKE_${language}_COMPILER_TARGET ${KESTROVA_TRIPLE})
endforeach()
# LLVM's resource compiler preprocesses with the clang beside it.
set(CMAKE_RC_COMPILER llvm-windres-19)
set(CMAKE_RC_FLAGS_INIT "--target=${KESTROVA_TRIPLE}")
set(KESTROVA_DLLTOOL llvm-dlltool-19 CACHE FILEPATH "Makes import libraries from .def files")

set(gcc_dir /usr/lib/gcc/${KESTROVA_CXX_HEADERS_TRIPLE}/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${KESTROVA_CXX_HEADERS_TRIPLE}")
# Everything links with LLVM's own linker (lld 19; lld 14 wrote the export
# table with ordinal base 0 and an empty slot).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
