# The common benchmark main lives with the test helpers.
target_include_directories(bench_swtcp PRIVATE ${CMAKE_SOURCE_DIR}/bench)
