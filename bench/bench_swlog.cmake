# The log writer is compared with a synchronous spdlog logger.
find_package(spdlog REQUIRED)
target_link_libraries(bench_swlog PRIVATE spdlog::spdlog)
target_include_directories(bench_swlog PRIVATE ${CMAKE_SOURCE_DIR}/bench)
