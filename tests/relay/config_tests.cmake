# Queue unit tests and configuration tests of the relay.

add_executable(zel_relay_queue_test ${CMAKE_CURRENT_LIST_DIR}/zel_relay_queue_test.cpp)
target_link_libraries(zel_relay_queue_test PRIVATE zel_relay_core GTest::gtest_main)

# The two-thread run is registered apart so the ThreadSanitizer pass can pick
# it alone; the single-threaded cases run in the normal and ASan passes.
add_test(NAME relay_queue COMMAND zel_relay_queue_test --gtest_filter=-RelayQueueStress.*)
set_tests_properties(relay_queue PROPERTIES LABELS "asan")
add_test(NAME relay_queue_stress COMMAND zel_relay_queue_test --gtest_filter=RelayQueueStress.*)
set_tests_properties(relay_queue_stress PROPERTIES LABELS "asan;tsan")

add_executable(relay_log_test ${CMAKE_CURRENT_LIST_DIR}/relay_log_test.cpp)
target_link_libraries(relay_log_test PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_log COMMAND relay_log_test)
set_tests_properties(relay_log PROPERTIES LABELS "asan;tsan")

add_executable(relay_config_test ${CMAKE_CURRENT_LIST_DIR}/relay_config_test.cpp)
target_link_libraries(relay_config_test PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_config_values COMMAND relay_config_test)
set_tests_properties(relay_config_values PROPERTIES LABELS "asan")

# The relay's configuration as a user meets it: real program, clean
# environment per case, standard error, standard output and exit status.
add_test(NAME relay_config COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_config.py)
set_tests_properties(relay_config PROPERTIES LABELS "asan" ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin")

# Writes the system-wide default configuration paths and restores what was
# there; a test that also depends on those paths should take the same lock.
add_test(NAME relay_config_defaults COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/test_config_defaults.py)
set_tests_properties(relay_config_defaults PROPERTIES LABELS "asan"
  ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin" RESOURCE_LOCK zel_relay_default_config_files)
