# Server-mode tests: the allow-list test as a unit test, and the subscriber
# endpoint driven end to end with real TLS WebSocket clients.

zel_relay_gtest(relay_server_peer relay_server_test.cpp "asan;unit")

# The subscriber endpoint as a subscriber meets it: the real relay, real TLS
# WebSocket clients, openssl s_client and curl, a stand-in event socket.
foreach(t access delivery burst sequenced log_lines)
  zel_relay_pytest(relay_server_${t} test_server_${t}.py "asan;tsan;live")
endforeach()

# The log throttle behind the refusal lines, against a clock the test drives.
zel_relay_gtest(relay_throttle relay_throttle_test.cpp "asan;unit")

# Peers that hold connections open without finishing a handshake, up to and
# past the descriptor limit; the reaping case waits for the library's
# handshake time-out.
zel_relay_pytest(relay_server_limits test_server_limits.py "asan;tsan;slow")
