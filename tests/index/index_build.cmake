# Index building tests: sorter, specification texts, definition checks, batch entry source.
list(APPEND index_test_sources sorter_test.cpp index_text_test.cpp index_check_test.cpp
     index_build_test.cpp)
