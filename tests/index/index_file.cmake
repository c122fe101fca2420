# Index file tests.
list(APPEND index_test_sources index_file_test.cpp)

# The index file tests run this as a second process that adds entries to their index.
add_executable(index_probe index_probe.cpp)
target_link_libraries(index_probe PRIVATE index)
