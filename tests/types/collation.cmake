# Tests of collations and code pages.
list(APPEND types_test_sources collation_test.cpp)
