# Index building: the sorter, specification texts, definition checks and the batch entry source.
list(APPEND index_sources sorter.cpp index_text.cpp index_check.cpp index_build.cpp)
