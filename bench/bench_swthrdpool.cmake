# The summary comes from the common benchmark main among the test helpers.
target_include_directories(bench_swthrdpool PRIVATE ${CMAKE_SOURCE_DIR}/bench)
