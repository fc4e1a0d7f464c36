# Cross build for ARM64 Windows with LLVM 19: the shipped ARM64 DLL and its
# C test programs. There is no MinGW-w64 runtime or C++ library for ARM64
# here: the MinGW-w64 headers serve, the C++ sources take the std:: forms of
# the C headers (<cstdint>, <cstring>...) from the x64 GCC's C++ headers and
# link nothing of its library, and import libraries of the system DLLs are
# made from cmake/arm64-imports/*.def (KestrovaWin32.cmake).
set(KESTROVA_TRIPLE aarch64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KESTROVA_CXX_HEADERS_TRIPLE x86_64-w64-mingw32)
set(KESTROVA_NO_RUNTIME ON)
include(${CMAKE_CURRENT_LIST_DIR}/llvm-windows.cmake)

set(mingw_headers /usr/share/mingw-w64/include)
set(CMAKE_C_FLAGS_INIT "-isystem ${mingw_headers}")
set(CMAKE_ASM_FLAGS_INIT "-isystem ${mingw_headers}")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT} -nostdinc++ -isystem ${mingw_headers}")
set(CMAKE_RC_FLAGS_INIT "--target=${KESTROVA_TRIPLE} -I${mingw_headers}")
# Nothing of a runtime to link, not even for CMake's test of the compiler.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Tests run under the emulated arm64 Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/arm64/arm64-wine-run)
# No MinGW-w64 libraries to link by default: each target names its imports.
foreach(language C CXX)
    set(CMAKE_${language}_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every program")
endforeach()
