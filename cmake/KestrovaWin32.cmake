# The product: KestrovaAPI.dll for Windows, 32-bit (the reference) or x64 by
# the toolchain, from the same sources and .def; its import libraries and
# package files, and the tests that run it under Wine.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KESTROVA_DLLTOOL_MACHINE i386:x86-64)
else()
    set(KESTROVA_DLLTOOL_MACHINE i386)
endif()

# The DLL, the tests, the stand-in phone and the example share one folder, so
# that every program finds the DLL next to it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_library(KestrovaAPI SHARED ${KESTROVA_CORE_SOURCES} api/platform_win32.cpp
                               api/KestrovaAPI.def)
add_library(KestrovaAPI::KestrovaAPI ALIAS KestrovaAPI)
target_include_directories(KestrovaAPI PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/api>
                                              $<INSTALL_INTERFACE:include>)
target_compile_options(KestrovaAPI PRIVATE ${KESTROVA_WARNINGS} -fno-exceptions -fno-rtti)
# Everything of the compiler's runtime is linked in: the DLL imports only
# system DLLs (KERNEL32, USER32, SHELL32, msvcrt).
target_link_options(KestrovaAPI PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(KestrovaAPI PRIVATE user32 shell32)
set_target_properties(KestrovaAPI PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")

# An import library in the format Microsoft's linker expects, from the .def.
find_program(KESTROVA_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 ${KESTROVA_TRIPLE}-dlltool)
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
    ARCHIVE DESTINATION lib
    INCLUDES DESTINATION include)
install(FILES api/KestrovaAPI.h api/KestrovaAPI.def DESTINATION include)
install(EXPORT KestrovaAPITargets NAMESPACE KestrovaAPI:: DESTINATION lib/cmake/KestrovaAPI)
configure_package_config_file(cmake/KestrovaAPIConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfig.cmake INSTALL_DESTINATION lib/cmake/KestrovaAPI)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KestrovaAPIConfigVersion.cmake
        DESTINATION lib/cmake/KestrovaAPI)

# The phone simulator is a 32-bit program in both builds, as the phone
# application is: the x64 build makes it in a 32-bit sub-build.
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
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
                   -DCMAKE_BUILD_TYPE=Release
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        BUILD_BYPRODUCTS ${phone_sim_dir}/kestrova-phone-sim.exe)
    set(KESTROVA_PHONE_SIM ${phone_sim_dir}/kestrova-phone-sim.exe)
    set(KESTROVA_PHONE_SIM_TARGET phone_sim_x86)
    install(PROGRAMS ${KESTROVA_PHONE_SIM} DESTINATION tools COMPONENT tools)
endif()
add_subdirectory(tools/watch)

add_subdirectory(tests/win32)
add_subdirectory(examples)
add_subdirectory(bench/win32)

# The DLL's export table and imports, and the installed package as a user's
# project finds it. Scripts, not targets: they run on the build machine.
add_test(NAME dll_exports_and_imports
         COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-exports $<TARGET_FILE:KestrovaAPI>
                 ${KESTROVA_TRIPLE})
add_test(NAME installed_package
         COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-package ${CMAKE_BINARY_DIR}
                 ${CMAKE_TOOLCHAIN_FILE})
