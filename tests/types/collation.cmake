# list(APPEND types_test_sources ...) for this group's tests, once they compile.
