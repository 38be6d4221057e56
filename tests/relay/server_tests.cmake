# Server-mode tests: the allow-list test as a unit test, and the subscriber
# endpoint driven end to end with real TLS WebSocket clients.

add_executable(relay_server_test ${CMAKE_CURRENT_LIST_DIR}/relay_server_test.cpp)
target_link_libraries(relay_server_test PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_server_peer COMMAND relay_server_test)
set_tests_properties(relay_server_peer PROPERTIES LABELS "asan")

# The subscriber endpoint as a subscriber meets it: the real relay, real TLS
# WebSocket clients, openssl s_client and curl, a stand-in event socket.
foreach(t access delivery burst)
  add_test(NAME relay_server_${t}
    COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_server_${t}.py)
  set_tests_properties(relay_server_${t} PROPERTIES LABELS "asan;tsan"
    ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin")
endforeach()

# The log throttle behind the refusal lines, against a clock the test drives.
add_executable(relay_throttle_test ${CMAKE_CURRENT_LIST_DIR}/relay_throttle_test.cpp)
target_link_libraries(relay_throttle_test PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_throttle COMMAND relay_throttle_test)
set_tests_properties(relay_throttle PROPERTIES LABELS "asan;unit")

# Peers that hold connections open without finishing a handshake, up to and
# past the descriptor limit; the reaping case waits for the library's
# handshake time-out.
add_test(NAME relay_server_limits
  COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_server_limits.py)
set_tests_properties(relay_server_limits PROPERTIES LABELS "asan;tsan;live"
  ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin" TIMEOUT 300)
