# The goal rows for the combined report come from the common benchmark header among the test helpers.
target_include_directories(bench_swfile PRIVATE ${CMAKE_SOURCE_DIR}/bench)
