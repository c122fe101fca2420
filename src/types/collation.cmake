# list(APPEND types_sources ...) for this group's units, once they compile.
