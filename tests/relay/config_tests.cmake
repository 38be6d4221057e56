# Queue unit tests and configuration tests of the relay.

add_executable(test_relay_queue ${CMAKE_CURRENT_LIST_DIR}/test_queue.cpp)
target_link_libraries(test_relay_queue PRIVATE zel_relay_core GTest::gtest_main)

# The two-thread run is registered apart so the ThreadSanitizer pass can pick
# it alone; the single-threaded cases run in the normal and ASan passes.
add_test(NAME relay_queue COMMAND test_relay_queue --gtest_filter=-RelayQueueStress.*)
set_tests_properties(relay_queue PROPERTIES LABELS "asan")
add_test(NAME relay_queue_stress COMMAND test_relay_queue --gtest_filter=RelayQueueStress.*)
set_tests_properties(relay_queue_stress PROPERTIES LABELS "asan;tsan")

add_executable(test_relay_log ${CMAKE_CURRENT_LIST_DIR}/test_log.cpp)
target_link_libraries(test_relay_log PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_log COMMAND test_relay_log)
set_tests_properties(relay_log PROPERTIES LABELS "asan;tsan")

add_executable(test_relay_config ${CMAKE_CURRENT_LIST_DIR}/test_config.cpp)
target_link_libraries(test_relay_config PRIVATE zel_relay_core GTest::gtest_main)
add_test(NAME relay_config_values COMMAND test_relay_config)
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
