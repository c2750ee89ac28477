zelto_test(acl_base_test SOURCES acl_base_test.cpp LIBRARIES acl_base)
