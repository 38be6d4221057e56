# Relay runtime, event socket reader and upstream client mode.

add_executable(test_relay_runtime
  ${CMAKE_CURRENT_LIST_DIR}/test_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_backoff.cpp)
target_link_libraries(test_relay_runtime PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_runtime_unit COMMAND test_relay_runtime)
set_tests_properties(relay_runtime_unit PROPERTIES LABELS "asan")
