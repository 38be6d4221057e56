# Server-mode tests: the allow-list test as a unit test, and the subscriber
# endpoint driven end to end with real TLS WebSocket clients.

add_executable(test_relay_server_peer ${CMAKE_CURRENT_LIST_DIR}/test_server_peer.cpp)
target_link_libraries(test_relay_server_peer PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_server_peer COMMAND test_relay_server_peer)
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
add_executable(test_relay_throttle ${CMAKE_CURRENT_LIST_DIR}/test_throttle.cpp)
target_link_libraries(test_relay_throttle PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_throttle COMMAND test_relay_throttle)
set_tests_properties(relay_throttle PROPERTIES LABELS "asan;unit")

# Peers that hold connections open without finishing a handshake, up to and
# past the descriptor limit; the reaping case waits for the library's
# handshake time-out.
add_test(NAME relay_server_limits
  COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_server_limits.py)
set_tests_properties(relay_server_limits PROPERTIES LABELS "asan;tsan;live"
  ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin" TIMEOUT 300)
