# The container's hint switch is internal (hidden in the shared library): link the static archive
# instead of the shared one.
set_property(TARGET bench_swmem PROPERTY LINK_LIBRARIES dudiz_static benchmark::benchmark)
target_include_directories(bench_swmem PRIVATE ${CMAKE_SOURCE_DIR}/bench)
