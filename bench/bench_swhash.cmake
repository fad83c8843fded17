# The hash table is compared with GLib's GHashTable; the common benchmark main lives with the test
# helpers.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
target_link_libraries(bench_swhash PRIVATE PkgConfig::GLIB)
target_include_directories(bench_swhash PRIVATE ${CMAKE_SOURCE_DIR}/bench)
