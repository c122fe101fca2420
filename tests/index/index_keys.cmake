# Index key tests.
list(APPEND index_test_sources index_keys_test.cpp)
