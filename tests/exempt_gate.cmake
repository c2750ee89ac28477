# The longest-prefix-match table on its own, and libexempt_gate with the
# exempt_gate program against real kernel IP sets.
zelto_test(lpm_test SOURCES lpm_test.cpp LIBRARIES lpm)
zelto_test(exempt_gate_test SOURCES exempt_gate_test.cpp LIBRARIES exempt_gate_lib)
add_dependencies(exempt_gate_test exempt_gate)
