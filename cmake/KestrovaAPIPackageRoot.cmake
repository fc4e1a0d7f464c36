# KestrovaAPIConfig.cmake at the root of the KestrovaAPI release package,
# which holds both editions: x86/ (32-bit) and x64/, each with bin/ and lib/,
# beside one include/. find_package(KestrovaAPI) pointed here loads the
# edition that matches the pointer size of the project asking for it.

if(NOT WIN32)
    set(KestrovaAPI_FOUND FALSE)
    set(KestrovaAPI_NOT_FOUND_MESSAGE
        "KestrovaAPI is a Windows library; this project does not target Windows.")
    return()
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_kestrova_edition x86)
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
        "KestrovaAPI comes for 32-bit (x86/) and 64-bit (x64/) programs; this project's "
        "pointer size (CMAKE_SIZEOF_VOID_P) is ${_kestrova_size}.")
    unset(_kestrova_size)
    return()
endif()

include("${CMAKE_CURRENT_LIST_DIR}/${_kestrova_edition}/lib/cmake/KestrovaAPI/KestrovaAPIConfig.cmake")
unset(_kestrova_edition)
