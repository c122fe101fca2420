# Typed column access inside record buffers, which the tables forward to.
list(APPEND types_sources record_access.cpp)
