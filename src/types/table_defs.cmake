# Table definitions: columns and record layout, index definitions, constraints,
# user types, and the abstract calculations and conditions they own.
list(APPEND types_sources named_def.cpp calculation.cpp sort_def.cpp column_def.cpp
     constraint_defs.cpp)
