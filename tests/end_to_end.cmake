# Both helpers, installed, under a real Squid in the sandbox.
zelto_test(end_to_end_test SOURCES end_to_end_test.cpp LIBRARIES cloud_server Boost::json TIMEOUT 900)
add_dependencies(end_to_end_test policy_gate exempt_gate redis_json)
set_property(TEST end_to_end_test APPEND PROPERTY ENVIRONMENT "ZELTO_INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX}")
