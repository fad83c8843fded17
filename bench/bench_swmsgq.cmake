# The queue is compared with GLib's GAsyncQueue; the summary comes from the common benchmark main.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
target_link_libraries(bench_swmsgq PRIVATE PkgConfig::GLIB)
target_include_directories(bench_swmsgq PRIVATE ${CMAKE_SOURCE_DIR}/bench)
