# Line log unit tests and configuration tests of the relay.

# The two-thread run is registered apart so the ThreadSanitizer pass can pick
# it alone; the single-threaded cases run in the normal and ASan passes.
zel_relay_gtest(relay_line_log relay_line_log_test.cpp "asan;unit" --gtest_filter=-LineLogThreads.*)
zel_relay_gtest(relay_line_log_threads relay_line_log_test.cpp "asan;tsan;unit"
                --gtest_filter=LineLogThreads.*)

zel_relay_gtest(relay_log relay_log_test.cpp "asan;tsan;unit")
zel_relay_gtest(relay_config_values relay_config_test.cpp "asan;unit")

# The relay's configuration as a user meets it: real program, clean
# environment per case, standard error, standard output and exit status.
# One case runs the relay as another user, which needs root.
zel_relay_pytest(relay_config test_config.py "asan;live")

# Writes the system-wide default configuration paths and restores what was
# there; a test that also depends on those paths should take the same lock.
zel_relay_pytest(relay_config_defaults test_config_defaults.py "asan;live")
set_tests_properties(relay_config_defaults PROPERTIES RESOURCE_LOCK zel_relay_default_config_files)
