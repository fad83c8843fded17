# The model test also compares the container's internal index with its model: link the static
# library, where that check's entry point is visible.
set_property(TARGET test_swmem PROPERTY LINK_LIBRARIES dudiz_static gtest gtest_main Threads::Threads)
