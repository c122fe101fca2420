# The B-tree of fixed-size entries.
