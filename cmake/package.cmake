# Installing a library for host programs: CMake package files (find_package(NAME) with the targets
# NAME::...) and a pkg-config file NAME.pc, both in the dev component.
include(CMakePackageConfigHelpers)

# qs_install_package(NAME DESCRIPTION text CFLAGS flags LIBS flags [LIBS_PRIVATE flags]
#                    [REQUIRES pkgs] [CONFIG_EXTRA cmake-code])
function(qs_install_package name)
  cmake_parse_arguments(P "" "DESCRIPTION;CFLAGS;LIBS;LIBS_PRIVATE;REQUIRES;CONFIG_EXTRA" "" ${ARGN})
  set(cmakeDir ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  install(EXPORT ${name}Targets NAMESPACE ${name}:: DESTINATION ${cmakeDir} COMPONENT dev)
  set(QS_PKG_NAME ${name})
  set(QS_PKG_CONFIG_EXTRA "${P_CONFIG_EXTRA}")
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake INSTALL_DESTINATION ${cmakeDir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
          DESTINATION ${cmakeDir} COMPONENT dev)

  file(RELATIVE_PATH QS_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" QS_PC_TO_PREFIX "${QS_PC_TO_PREFIX}")
  set(QS_PC_NAME ${name})
  set(QS_PC_DESCRIPTION "${P_DESCRIPTION}")
  set(QS_PC_CFLAGS "${P_CFLAGS}")
  set(QS_PC_LIBS "${P_LIBS}")
  set(QS_PC_LIBS_PRIVATE "${P_LIBS_PRIVATE}")
  set(QS_PC_REQUIRES "${P_REQUIRES}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endfunction()
