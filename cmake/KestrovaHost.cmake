# The host (Linux) build: the library's sources against the in-memory test
# double of the platform, for unit tests under sanitizers, fuzzing and
# benchmarks. It is a test seam, not a product.

option(KESTROVA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
set(KESTROVA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                             -fno-omit-frame-pointer)

add_library(kestrova_core STATIC ${KESTROVA_CORE_SOURCES})
target_include_directories(kestrova_core PUBLIC ${PROJECT_SOURCE_DIR}/api)
target_compile_options(kestrova_core PRIVATE ${KESTROVA_WARNINGS} -Werror)

add_library(kestrova_platform_double STATIC tests/unit/platform_double.cpp)
target_include_directories(kestrova_platform_double PUBLIC ${PROJECT_SOURCE_DIR}/api
                                                           ${PROJECT_SOURCE_DIR}/tests/unit)
target_compile_options(kestrova_platform_double PRIVATE ${KESTROVA_WARNINGS})

# Each needs the other: the core calls the platform, the double calls the
# core's linkCallback when it plays the phone application's side.
target_link_libraries(kestrova_core INTERFACE kestrova_platform_double)
target_link_libraries(kestrova_platform_double INTERFACE kestrova_core)

if(KESTROVA_SANITIZE)
    foreach(target kestrova_core kestrova_platform_double)
        target_compile_options(${target} PUBLIC ${KESTROVA_SANITIZER_FLAGS})
        target_link_options(${target} PUBLIC ${KESTROVA_SANITIZER_FLAGS})
    endforeach()
endif()

add_subdirectory(tests/unit)
add_subdirectory(tests/examples)
foreach(dir bench fuzz)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
