# The B+ tree of variable-size items.
list(APPEND index_sources bplus_tree.cpp bplus_tree_update.cpp)
