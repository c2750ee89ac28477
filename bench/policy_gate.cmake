# policy_gate_bench: the policy_gate program over pipes beside the null
# helper, with a large rule document in Redis. Run it with
# bench/policy_gate_bench.sh (inside the sandbox).
add_executable(policy_gate_bench ${CMAKE_CURRENT_SOURCE_DIR}/policy_gate_bench.cpp)
target_link_libraries(policy_gate_bench PRIVATE Threads::Threads)
