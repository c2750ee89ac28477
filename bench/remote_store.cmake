# remote_store_bench: one remote_store request against the in-process test
# cloud server over HTTPS and HTTP, beside curl. Run it with
# bench/remote_store_bench.sh (inside the sandbox). Needs the tests' cloud_server.
if(BUILD_TESTING)
  add_executable(remote_store_bench ${CMAKE_CURRENT_SOURCE_DIR}/remote_store_bench.cpp)
  target_link_libraries(remote_store_bench PRIVATE remote_store cloud_server)
endif()
