# B-tree tests.
list(APPEND index_test_sources btree_test.cpp btree_differential_test.cpp btree_damage_test.cpp)
