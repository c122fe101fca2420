# Index files: names, kinds, the header page and the operations tables call.
list(APPEND index_sources index_file.cpp index_names.cpp)
