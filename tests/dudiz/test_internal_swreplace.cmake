# Internal header: reach it through the library's source directory.
target_include_directories(test_internal_swreplace PRIVATE ${CMAKE_SOURCE_DIR}/dudiz)
target_link_libraries(test_internal_swreplace PRIVATE ${CMAKE_DL_LIBS})
