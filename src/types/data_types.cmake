# Data types and values: registry, descriptors, value cells, comparison,
# conversion and operators.
list(APPEND types_sources data_type.cpp data_value.cpp numeric_types.cpp date_time_types.cpp
     string_types.cpp other_types.cpp type_conversion.cpp)
