# The product: KestrovaAPI.dll for Windows, x86 (the reference), x64 or
# ARM64 by the toolchain, from the same sources and .def; its import
# libraries and package files, and the tests that run it under Wine.

if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(KESTROVA_ARCH arm64)
    set(KESTROVA_DLLTOOL_MACHINE arm64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KESTROVA_ARCH x64)
    set(KESTROVA_DLLTOOL_MACHINE i386:x86-64)
else()
    set(KESTROVA_ARCH x86)
    set(KESTROVA_DLLTOOL_MACHINE i386)
endif()

# The DLL, the tests, the phone simulator and the example share one folder, so
# that every program finds the DLL next to it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Reproducible, the DLL and the programs shipped beside it alike: no link
# time stamp and no build path in any file, so two builds of the same
# sources give the same bytes.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
add_link_options(-Wl,--no-insert-timestamp)

# Where the header is installed, relative to the prefix. The release package
# holds both editions (x86/, x64/) beside one include/, so it installs each
# edition with ../include.
set(KESTROVA_INSTALL_INCLUDEDIR include CACHE STRING
    "Folder of the installed header, relative to the install prefix")

# The version resource carries the project version. The .def is linked
# from the build folder, so that the link's command line, which the PDB
# records, names no folder outside it.
configure_file(api/KestrovaAPI.rc.in ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPI.rc @ONLY)
configure_file(api/KestrovaAPI.def ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPI.def COPYONLY)
add_library(KestrovaAPI SHARED ${KESTROVA_CORE_SOURCES} api/platform_win32.cpp
                               ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPI.def
                               ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPI.rc)
add_library(KestrovaAPI::KestrovaAPI ALIAS KestrovaAPI)
target_include_directories(KestrovaAPI PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/api>
                                              $<INSTALL_INTERFACE:${KESTROVA_INSTALL_INCLUDEDIR}>)
target_compile_options(KestrovaAPI PRIVATE ${KESTROVA_WARNINGS} -fno-exceptions -fno-rtti)
# No compiler runtime start-up code, no C++ runtime: the loader calls DllMain
# directly, and the DLL imports only system DLLs (KERNEL32, USER32, SHELL32,
# msvcrt). Static libgcc supplies only helpers the compiler may call (64-bit
# division on i686, stack probes); it holds no start-up code. ARM64 needs
# none of them.
#
# Hardened: relocatable anywhere (DYNAMIC_BASE, on 64-bit also above 4 GB,
# HIGH_ENTROPY_VA) and data never executable (NX_COMPAT). The 32-bit DLL
# declares NO_SEH: it holds no exception handler (GCC and clang register
# none for this code) and no unwind tables. x64 and ARM64 keep their unwind
# tables, which Windows itself uses.
if(KESTROVA_ARCH STREQUAL x86)
    set(dll_entry _DllMain@12)
    set(dll_arch_compile -fno-asynchronous-unwind-tables)
    set(dll_arch_link -Wl,--no-seh)
else()
    set(dll_entry DllMain)
    set(dll_arch_compile)
    set(dll_arch_link -Wl,--high-entropy-va)
endif()
target_compile_options(KestrovaAPI PRIVATE ${dll_arch_compile})
target_link_options(KestrovaAPI PRIVATE -nostdlib -Wl,--entry,${dll_entry} -s
                    -Wl,--dynamicbase,--nxcompat ${dll_arch_link})
if(KESTROVA_NO_RUNTIME)
    include(${CMAKE_CURRENT_LIST_DIR}/KestrovaSystemImports.cmake)
    target_link_libraries(KestrovaAPI PRIVATE kestrova_system_imports)
else()
    target_link_libraries(KestrovaAPI PRIVATE user32 shell32 gcc msvcrt kernel32)
endif()
set_target_properties(KestrovaAPI PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
if(KESTROVA_TOOLCHAIN_LLVM)
    include(${CMAKE_CURRENT_LIST_DIR}/KestrovaHardening.cmake)
endif()

# An import library in the format Microsoft's linker expects, from the .def.
find_program(KESTROVA_DLLTOOL NAMES llvm-dlltool-19 llvm-dlltool ${KESTROVA_TRIPLE}-dlltool)
if(KESTROVA_DLLTOOL)
    set(msvc_import_lib ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPI.lib)
    if(KESTROVA_DLLTOOL MATCHES "llvm-dlltool")
        set(dlltool_args -m ${KESTROVA_DLLTOOL_MACHINE} -D KestrovaAPI.dll)
    else()
        set(dlltool_args -m ${KESTROVA_DLLTOOL_MACHINE} --dllname KestrovaAPI.dll)
    endif()
    add_custom_command(OUTPUT ${msvc_import_lib}
        COMMAND ${KESTROVA_DLLTOOL} ${dlltool_args} -d ${PROJECT_SOURCE_DIR}/api/KestrovaAPI.def
                -l ${msvc_import_lib}
        DEPENDS ${PROJECT_SOURCE_DIR}/api/KestrovaAPI.def
        COMMENT "Import library for Microsoft's linker")
    add_custom_target(KestrovaAPI_msvc_import ALL DEPENDS ${msvc_import_lib})
    install(FILES ${msvc_import_lib} DESTINATION lib)
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
install(TARGETS KestrovaAPI EXPORT KestrovaAPITargets
    RUNTIME DESTINATION bin
    ARCHIVE DESTINATION lib)
install(FILES api/KestrovaAPI.h DESTINATION ${KESTROVA_INSTALL_INCLUDEDIR})
install(FILES api/KestrovaAPI.def DESTINATION lib)
install(EXPORT KestrovaAPITargets NAMESPACE KestrovaAPI:: DESTINATION lib/cmake/KestrovaAPI)
configure_package_config_file(cmake/KestrovaAPIConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfig.cmake INSTALL_DESTINATION lib/cmake/KestrovaAPI)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfigVersion.cmake
        DESTINATION lib/cmake/KestrovaAPI)

# The release package's root: a package file that picks x86/, x64/ or arm64/
# by the consuming project's architecture. Installed only on request (component
# package_root), by scripts/package.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/package-root/KestrovaAPIConfigVersion.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES cmake/KestrovaAPIPackageRoot.cmake DESTINATION . RENAME KestrovaAPIConfig.cmake
        COMPONENT package_root EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package-root/KestrovaAPIConfigVersion.cmake DESTINATION .
        COMPONENT package_root EXCLUDE_FROM_ALL)

# The ARM64 build has no C++ runtime for programs: its tests are plain C
# programs under the emulated arm64 Wine, which runs no x86 phone simulator.
if(KESTROVA_ARCH STREQUAL arm64)
    add_subdirectory(tests/arm64)
    add_test(NAME dll_exports_and_imports
             COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-exports $<TARGET_FILE:KestrovaAPI>
                     ${KESTROVA_ARCH} ${KESTROVA_DLL_PDB})
    return()
endif()

# The phone simulator is a 32-bit program in both builds, as the phone
# application is: the x64 build makes it in a 32-bit sub-build, with the
# 32-bit toolchain of its own compiler (KESTROVA_X86_TOOLCHAIN).
# KESTROVA_PHONE_SIM is its file, KESTROVA_PHONE_SIM_TARGET what builds it.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_subdirectory(tools/phone-sim)
    set(KESTROVA_PHONE_SIM $<TARGET_FILE:kestrova-phone-sim>)
    set(KESTROVA_PHONE_SIM_TARGET kestrova-phone-sim)
else()
    include(ExternalProject)
    set(phone_sim_dir ${CMAKE_BINARY_DIR}/phone-sim-x86)
    ExternalProject_Add(phone_sim_x86
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/phone-sim
        BINARY_DIR ${phone_sim_dir}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${KESTROVA_X86_TOOLCHAIN}
                   -DCMAKE_BUILD_TYPE=Release
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        BUILD_BYPRODUCTS ${phone_sim_dir}/kestrova-phone-sim.exe)
    set(KESTROVA_PHONE_SIM ${phone_sim_dir}/kestrova-phone-sim.exe)
    set(KESTROVA_PHONE_SIM_TARGET phone_sim_x86)
endif()
add_subdirectory(tools/watch)

add_subdirectory(tests/win32)
add_subdirectory(examples)
add_subdirectory(bench/win32)

# The DLL's export table, imports and headers, and the installed package as
# a user's project finds it. Scripts, not targets: they run on the build
# machine.
add_test(NAME dll_exports_and_imports
         COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-exports $<TARGET_FILE:KestrovaAPI>
                 ${KESTROVA_ARCH} ${KESTROVA_DLL_PDB})
add_test(NAME installed_package
         COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-package install ${CMAKE_BINARY_DIR}
                 ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_BINARY_DIR}/package-check)
set_tests_properties(installed_package PROPERTIES
    ENVIRONMENT KESTROVA_WINE_ROOT=${KESTROVA_WINE_ROOT} LABELS win32)
# The DLL signed as scripts/package --sign signs it, with a throwaway
# certificate: verified, still passing one test program, unsigned again.
add_test(NAME signed_dll
         COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-signing $<TARGET_FILE:KestrovaAPI>
                 $<TARGET_FILE:win32_no_association> ${CMAKE_BINARY_DIR}/signing-check)
set_tests_properties(signed_dll PROPERTIES
    ENVIRONMENT KESTROVA_WINE_ROOT=${KESTROVA_WINE_ROOT} LABELS win32)
