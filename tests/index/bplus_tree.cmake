# B+ tree tests.
list(APPEND index_test_sources bplus_tree_test.cpp bplus_tree_damage_test.cpp)
