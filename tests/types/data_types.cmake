# Tests of the data types and value cells.
list(APPEND types_test_sources data_type_test.cpp)
