# Faults around the helper programs, which it runs over pipes.
zelto_test(fault_test SOURCES fault_test.cpp LIBRARIES cloud_server)
add_dependencies(fault_test exempt_gate policy_gate redis_json)
