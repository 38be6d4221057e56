# Relay runtime, event socket reader and upstream client mode.

zel_relay_gtest(relay_reader relay_reader_test.cpp "asan;unit")
zel_relay_gtest(relay_client_backoff relay_client_test.cpp "asan;unit")

# Client mode against real peers, one test per class so that the long waits
# run side by side: the idle case waits over a minute for the hang-up of a
# silent upstream, the attempt failures 20 s for the handshake deadline and
# the stall 10 s for the cut. The dumpable check needs root.
foreach(group ClientMode ClientSequence NonDumpable)
  zel_relay_pytest(relay_client_${group} test_client_mode.py "asan;tsan;live" ${group})
endforeach()
foreach(group ClientIdle ClientAttemptFailures ClientStall)
  zel_relay_pytest(relay_client_${group} test_client_mode.py "asan;tsan;slow" ${group})
endforeach()

# The capture daemon live on lo feeding the relay in client mode (needs root).
zel_relay_pytest(relay_client_end_to_end test_end_to_end.py "asan;tsan;live")

# The relay's own framing: header forms and masking, and buffers of frames
# read back by the library's parser over loopback in both directions.
zel_relay_gtest(relay_frame relay_frame_test.cpp "asan;tsan;unit")

# Backoff against a stepped wall clock: the relay runs under libfaketime
# (LD_PRELOAD), which the sanitizer runtimes refuse to follow, so no asan or
# tsan label.
zel_relay_pytest(relay_client_wall_clock test_client_clock.py "live")

# What client mode logs about a refused connection and an upstream's close.
zel_relay_pytest(relay_client_log_lines test_client_log_lines.py "asan;tsan;live")
