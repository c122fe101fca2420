# Tests of the data types and value cells.
list(APPEND types_test_sources data_type_test.cpp data_value_test.cpp data_type_compare_test.cpp
     data_type_convert_test.cpp data_type_operator_test.cpp column_image_test.cpp)
