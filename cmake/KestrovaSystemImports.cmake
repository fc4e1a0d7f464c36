# Import libraries of the system DLLs, for a toolchain without a MinGW-w64
# runtime (ARM64): made with llvm-dlltool from cmake/arm64-imports/*.def,
# which list the functions the DLL and its C test programs call. A function
# missing there fails the link, naming it.
set(system_import_libs)
foreach(dll kernel32 user32 shell32 msvcrt)
    set(def ${CMAKE_CURRENT_LIST_DIR}/arm64-imports/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/system-imports/lib${dll}.a)
    add_custom_command(OUTPUT ${lib}
        COMMAND ${KESTROVA_DLLTOOL} -m ${KESTROVA_DLLTOOL_MACHINE} -d ${def} -l ${lib}
        DEPENDS ${def}
        COMMENT "Import library of ${dll}.dll")
    list(APPEND system_import_libs ${lib})
endforeach()
add_custom_target(kestrova_system_import_libs DEPENDS ${system_import_libs})
add_library(kestrova_system_imports INTERFACE)
target_link_libraries(kestrova_system_imports INTERFACE ${system_import_libs})
add_dependencies(kestrova_system_imports kestrova_system_import_libs)
