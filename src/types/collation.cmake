# Collations: the built-in collation, locale collations through ICU, code pages.
list(APPEND types_sources collation.cpp collation_builtin.cpp collation_locale.cpp code_page.cpp)
