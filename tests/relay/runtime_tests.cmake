# Relay runtime, event socket reader and upstream client mode.

add_executable(test_relay_runtime
  ${CMAKE_CURRENT_LIST_DIR}/test_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_backoff.cpp)
target_link_libraries(test_relay_runtime PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_runtime_unit COMMAND test_relay_runtime)
set_tests_properties(relay_runtime_unit PROPERTIES LABELS "asan")

# Client mode against real peers. The idle case waits over a minute for the
# hang-up of a silent upstream, so it is its own test and runs beside the rest.
foreach(group ClientMode ClientIdle)
  add_test(NAME relay_client_${group}
           COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_client_mode.py ${group})
  set_tests_properties(relay_client_${group} PROPERTIES
    ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin"
    LABELS "asan;tsan"
    TIMEOUT 300)
endforeach()

# Attempts cut by their deadlines, redirects, name failures, a stalled
# upstream and the process's dumpable flag, each with real peers on loopback.
# The first two wait out the 20 s and 10 s limits, so they run side by side.
foreach(group ClientAttemptFailures ClientStall NonDumpable)
  add_test(NAME relay_client_${group}
           COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_client_mode.py ${group})
  set_tests_properties(relay_client_${group} PROPERTIES
    ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin"
    LABELS "asan;tsan;live"
    TIMEOUT 300)
endforeach()

# The capture daemon live on lo feeding the relay in client mode (needs root).
add_test(NAME relay_client_end_to_end
         COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_end_to_end.py)
set_tests_properties(relay_client_end_to_end PROPERTIES
  ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin"
  LABELS "asan;tsan"
  TIMEOUT 300)
