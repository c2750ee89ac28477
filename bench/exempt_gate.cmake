# exempt_bench_driver: pipes request lines through a helper and times the
# answers. Run the benchmark with bench/exempt_gate_bench.sh.
add_executable(exempt_bench_driver ${CMAKE_CURRENT_SOURCE_DIR}/exempt_bench_driver.cpp)
target_link_libraries(exempt_bench_driver PRIVATE Threads::Threads)
