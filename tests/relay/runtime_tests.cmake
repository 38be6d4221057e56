# Relay runtime, event socket reader and upstream client mode.

add_executable(relay_reader_test ${CMAKE_CURRENT_LIST_DIR}/relay_reader_test.cpp)
target_link_libraries(relay_reader_test PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_reader COMMAND relay_reader_test)
set_tests_properties(relay_reader PROPERTIES LABELS "asan")

add_executable(relay_client_test ${CMAKE_CURRENT_LIST_DIR}/relay_client_test.cpp)
target_link_libraries(relay_client_test PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_client_backoff COMMAND relay_client_test)
set_tests_properties(relay_client_backoff PROPERTIES LABELS "asan")

# Client mode against real peers, one test per class so that the long waits
# run side by side: the idle case waits over a minute for the hang-up of a
# silent upstream, the attempt failures 20 s for the handshake deadline and
# the stall 10 s for the cut. The dumpable check needs root.
foreach(group ClientMode ClientIdle ClientAttemptFailures ClientStall NonDumpable)
  add_test(NAME relay_client_${group}
           COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_client_mode.py ${group})
  set_tests_properties(relay_client_${group} PROPERTIES
    ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin"
    LABELS "asan;tsan"
    TIMEOUT 300)
endforeach()
set_tests_properties(relay_client_ClientAttemptFailures relay_client_ClientStall
                     relay_client_NonDumpable PROPERTIES LABELS "asan;tsan;live")

# The capture daemon live on lo feeding the relay in client mode (needs root).
add_test(NAME relay_client_end_to_end
         COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_end_to_end.py)
set_tests_properties(relay_client_end_to_end PROPERTIES
  ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin"
  LABELS "asan;tsan"
  TIMEOUT 300)
