# Tests of typed column access inside record buffers.
list(APPEND types_test_sources record_access_test.cpp)
