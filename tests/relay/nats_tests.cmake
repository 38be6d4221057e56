# The bus mode: the publish ledger and message texts on their own, and the
# publisher against a real three-node nats-server cluster on loopback, fresh
# for each case.

zel_relay_gtest(nats_ledger nats_ledger_test.cpp "asan;unit")

foreach(group NatsDelivery NatsLeaderLoss NatsAccess NatsTls)
  add_test(NAME relay_nats_${group}
           COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/test_nats_publisher.py ${group})
  set_tests_properties(relay_nats_${group} PROPERTIES LABELS "live" TIMEOUT 300
    ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin")
endforeach()

# The relay itself in bus mode, fed through its event socket.
foreach(group BusDelivery BusLeaderLoss BusAccess BusTls)
  add_test(NAME relay_nats_mode_${group}
           COMMAND ${ZEL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/test_nats_mode.py ${group})
  set_tests_properties(relay_nats_mode_${group} PROPERTIES LABELS "live" TIMEOUT 300
    ENVIRONMENT "ZEL_BIN=${CMAKE_BINARY_DIR}/bin")
endforeach()
