# The shipped DLL as LLVM builds it, hardened as security reviews expect of
# a DLL loaded into their programs: Control Flow Guard (every indirect call
# checked, a table of the valid targets; the load configuration record,
# api/load_config_<arch>.S, is the DLL's own, as it has no C runtime), CET
# shadow-stack compatibility on x86 and x64, and its symbols in a PDB named
# by the DLL's CodeView entry.
#
# The PDB is reproducible, as the DLL is: no command lines of the compiler,
# source and build folders mapped to "." (KestrovaWin32.cmake), each object
# named relative to the build folder (-fdebug-compilation-dir), the link run
# with paths relative to the build folder only, the DLL naming its PDB
# without a folder and the linker's own record naming a fixed source root.
# lld makes the PDB's identity (GUID) a hash of its contents.
enable_language(ASM)
set(KESTROVA_PDB bin/KestrovaAPI.pdb)  # relative to the build folder, where the link runs
set(KESTROVA_PDB_SOURCE_ROOT "C:\\KestrovaAPI")
target_sources(KestrovaAPI PRIVATE api/load_config_${KESTROVA_ARCH}.S)
target_compile_options(KestrovaAPI PRIVATE -mguard=cf -g -gcodeview -gno-codeview-command-line
                                           -fdebug-compilation-dir=.)
target_link_options(KestrovaAPI PRIVATE -Wl,--guard-cf -Wl,--pdb=${KESTROVA_PDB}
    -Wl,--Xlink=-pdbaltpath:KestrovaAPI.pdb "-Wl,--Xlink=-pdbsourcepath:${KESTROVA_PDB_SOURCE_ROOT}")
# The header's checksum filled in, as GNU ld does: signing tools set it, so a
# DLL without one would not come back byte for byte once its signature is
# removed.
target_link_options(KestrovaAPI PRIVATE -Wl,--Xlink=-release)
if(NOT KESTROVA_ARCH STREQUAL arm64)
    target_link_options(KestrovaAPI PRIVATE -Wl,--Xlink=-cetcompat)
endif()
set_property(TARGET KestrovaAPI APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${CMAKE_BINARY_DIR}/${KESTROVA_PDB})
install(FILES ${CMAKE_BINARY_DIR}/${KESTROVA_PDB} DESTINATION symbols)
set(KESTROVA_DLL_PDB ${CMAKE_BINARY_DIR}/${KESTROVA_PDB})  # tests/package/check-exports checks the pair
