# Tests of the table definition model: columns and record layout, index
# definitions, keys, checks, user types and stored expression sources.
list(APPEND types_test_sources named_def_test.cpp column_def_test.cpp sort_def_test.cpp
     constraint_defs_test.cpp)
