# Index keys: entries from records and text, and their order.
list(APPEND index_sources index_keys.cpp)
