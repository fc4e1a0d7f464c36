# The reliability test of KestrovaAPI.dll under Wine: long floods, a thousand
# observer cycles and commands, restarts of the phone and refused
# notifications, with checks that handles and memory stay level. Included
# from tests/win32/CMakeLists.txt after kestrova_add_wine_test is defined.
#
# It runs for a few minutes (it prints each stage's duration). The counts can
# be changed through the environment, e.g.
#   KESTROVA_RELIABILITY_REAL_HANDOFFS=1000 ctest --preset win32 -R win32_reliability
# (see Counts in test_reliability.cpp).

kestrova_add_wine_test(NAME win32_reliability
                       SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_reliability.cpp
                       DIAL_HANDLER TIMEOUT 1200)
target_include_directories(win32_reliability PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(win32_reliability PRIVATE psapi)
