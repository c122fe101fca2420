# Calendar arithmetic and the text forms of values.
list(APPEND types_sources calendar.cpp text_forms.cpp)
