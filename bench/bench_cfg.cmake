# The configuration-file lookups are compared with GLib's key file.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
target_link_libraries(bench_cfg PRIVATE PkgConfig::GLIB)
target_include_directories(bench_cfg PRIVATE ${CMAKE_SOURCE_DIR}/bench)
