# The library's matchers are called directly; the program runs over pipes,
# with the test cloud server answering its category look-ups.
zelto_test(policy_gate_test SOURCES policy_gate_test.cpp LIBRARIES policy_gate_lib cloud_server)
add_dependencies(policy_gate_test policy_gate redis_json)
