# The test stand-in for the cloud API, also used by later components' tests
# and by the benchmark.
add_library(cloud_server STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/cloud_server.cpp)
target_include_directories(cloud_server PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(cloud_server PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

zelto_test(remote_store_test SOURCES remote_store_test.cpp LIBRARIES remote_store cloud_server)
