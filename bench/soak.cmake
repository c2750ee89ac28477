# soak: each helper program over a million requests while its sets, rules and
# categories change and signals arrive; checks every answer and prints the
# helper's resident memory. Run it with bench/soak.sh (inside the sandbox).
# Needs the tests' cloud_server for the cloud API.
if(BUILD_TESTING)
  add_executable(soak ${CMAKE_CURRENT_SOURCE_DIR}/soak.cpp ${CMAKE_CURRENT_SOURCE_DIR}/soak_exempt.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/soak_policy.cpp)
  target_link_libraries(soak PRIVATE cloud_server test_support Threads::Threads)
endif()
