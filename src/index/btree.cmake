# The B-tree of fixed-size entries.
list(APPEND index_sources btree.cpp btree_update.cpp)
