# Tests of collations and code pages.
list(APPEND types_test_sources collation_test.cpp)
# Also built under ThreadSanitizer, with the rest of the layer's tests.
list(APPEND types_test_sources collation_threads_test.cpp)
list(APPEND types_test_sources prefix_bound_test.cpp)
