# KestrovaAPIConfig.cmake at the root of the KestrovaAPI release package,
# which holds three editions: x86/ (32-bit), x64/ and arm64/, each with bin/
# and lib/, beside one include/. find_package(KestrovaAPI) pointed here
# loads the edition that matches the project asking for it: by its pointer
# size, and for 64-bit by its target, ARM64 (not ARM64EC, whose processes
# load x64 DLLs) or not.

# Whether the consuming project targets ARM64: MSVC names the compiler's
# architecture, other toolchains the target processor.
set(_kestrova_arm64 FALSE)
foreach(_kestrova_architecture IN ITEMS "${CMAKE_C_COMPILER_ARCHITECTURE_ID}"
        "${CMAKE_CXX_COMPILER_ARCHITECTURE_ID}" "${CMAKE_SYSTEM_PROCESSOR}")
    string(TOUPPER "${_kestrova_architecture}" _kestrova_architecture)
    if(_kestrova_architecture MATCHES "^(ARM64|AARCH64)$")
        set(_kestrova_arm64 TRUE)
    endif()
endforeach()
unset(_kestrova_architecture)

if(NOT WIN32)
    set(KestrovaAPI_FOUND FALSE)
    set(KestrovaAPI_NOT_FOUND_MESSAGE
        "KestrovaAPI is a Windows library; this project does not target Windows.")
    unset(_kestrova_arm64)
    return()
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_kestrova_edition x86)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8 AND _kestrova_arm64)
    set(_kestrova_edition arm64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_kestrova_edition x64)
else()
    if(CMAKE_SIZEOF_VOID_P)
        set(_kestrova_size "${CMAKE_SIZEOF_VOID_P} bytes, which fits neither")
    else()
        string(CONCAT _kestrova_size "unknown: enable C or C++ (project(... LANGUAGES C) or "
                                     "enable_language(C)) before find_package(KestrovaAPI)")
    endif()
    set(KestrovaAPI_FOUND FALSE)
    string(CONCAT KestrovaAPI_NOT_FOUND_MESSAGE
        "KestrovaAPI comes for 32-bit (x86/) and 64-bit (x64/, arm64/) programs; this project's "
        "pointer size (CMAKE_SIZEOF_VOID_P) is ${_kestrova_size}.")
    unset(_kestrova_size)
    unset(_kestrova_arm64)
    return()
endif()

unset(_kestrova_arm64)
include("${CMAKE_CURRENT_LIST_DIR}/${_kestrova_edition}/lib/cmake/KestrovaAPI/KestrovaAPIConfig.cmake")
unset(_kestrova_edition)
