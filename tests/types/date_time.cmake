# Tests of calendar arithmetic and the text forms of values.
list(APPEND types_test_sources calendar_test.cpp text_forms_test.cpp)
