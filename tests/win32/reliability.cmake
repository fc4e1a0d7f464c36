# The reliability test of KestrovaAPI.dll under Wine: long floods, a thousand
# observer cycles and commands, restarts of the phone and refused
# notifications, with checks that handles and memory stay level. Included
# from tests/win32/CMakeLists.txt after kestrova_add_wine_test is defined.
#
# Each stage is a CTest test of its own (win32_reliability.<stage>), in a
# Wine prefix of its own, so that the stages run side by side: they spend
# most of their time waiting for Wine's message round trips. Together they
# run for a few minutes (each prints its duration). The counts can be changed
# through the environment, e.g.
#   KESTROVA_RELIABILITY_RESTARTS=100 ctest --preset win32 -R win32_reliability.restarts
# (see Counts in test_reliability.cpp).

kestrova_add_wine_test(NAME win32_reliability
                       SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_reliability.cpp
                       DIAL_HANDLER TIMEOUT 900
                       CASES notifications Reliability.TenThousandNotifications*
                             observer_cycles Reliability.ThousandObserverCycles*
                             restarts Reliability.EveryRestartOfThePhone*
                             refused Reliability.RefusedNotifications*)
# .others: the thousand commands and the real hand-off, each a few seconds.
target_include_directories(win32_reliability PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(win32_reliability PRIVATE psapi)
# The longest first: seconds on a quiet 2-core machine, until CTest has
# measured them itself.
set_tests_properties(win32_reliability.observer_cycles win32_reliability.restarts PROPERTIES COST 55)
set_tests_properties(win32_reliability.refused win32_reliability.notifications PROPERTIES COST 16)
set_tests_properties(win32_reliability.others PROPERTIES COST 10)
