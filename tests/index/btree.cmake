# B-tree tests.
