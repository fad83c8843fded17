# Header-only internal helper: reach it through the library's source directory.
target_include_directories(test_internal_fieldcopy PRIVATE ${CMAKE_SOURCE_DIR}/dudiz)
