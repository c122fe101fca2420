# Index file tests.
list(APPEND index_test_sources index_file_test.cpp)
