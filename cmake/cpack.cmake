# Debian packages, one per component: the libraries and programs, the files to build against them
# (-dev), and the simulated camera SDK (-sim, in its private directory). A cross build for armhf
# makes armhf packages: `cmake --build --preset armhf-release --target package`.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  # Not built and tested for 64-bit ARM yet (its tests would run under qemu-aarch64 as armhf's run
  # under qemu-arm): no packages until they are.
  message(STATUS "No Debian packages for ${CMAKE_SYSTEM_PROCESSOR}: only amd64 and armhf are tested")
  return()
endif()

# Each package carries its copyright file and a README; the runtime package also creates the
# capture lock directory (now, and at every boot through tmpfiles.d).
set(_deb ${CMAKE_CURRENT_LIST_DIR}/debian)
foreach(_pkg IN ITEMS runtime:quellshot-toolkit dev:quellshot-toolkit-dev sim:quellshot-toolkit-sim
              aravis:quellshot-toolkit-aravis)
  string(REPLACE ":" ";" _pair ${_pkg})
  list(GET _pair 0 _component)
  list(GET _pair 1 _name)
  if((_component STREQUAL "sim" AND NOT QS_SIMULATED_SDK) OR
     (_component STREQUAL "aravis" AND NOT TARGET MvCameraControl_aravis))
    continue()
  endif()
  install(FILES ${_deb}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_name} COMPONENT ${_component})
  install(FILES ${_deb}/README.${_component} RENAME README
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_name} COMPONENT ${_component})
endforeach()
install(FILES ${_deb}/quellshot.conf DESTINATION lib/tmpfiles.d COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellshot-toolkit)
set(CPACK_PACKAGE_VENDOR "quellshot toolkit developers")
set(CPACK_PACKAGE_CONTACT "quellshot toolkit developers <dev@quellshot.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Hikrobot camera control for embedded Linux boards")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

set(CPACK_COMPONENTS_ALL runtime dev)
if(QS_SIMULATED_SDK)
  list(APPEND CPACK_COMPONENTS_ALL sim)
endif()
if(TARGET MvCameraControl_aravis)
  list(APPEND CPACK_COMPONENTS_ALL aravis)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME quellshot-toolkit)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12)")
# Without a camera SDK the programs can only say that they need one (quellshot doctor). Any of
# ours or a vendor SDK packaged as quellshot-camera-sdk will do; by default, real cameras.
if(TARGET MvCameraControl_aravis)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "quellshot-toolkit-aravis | quellshot-camera-sdk")
elseif(QS_SIMULATED_SDK)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "quellshot-toolkit-sim | quellshot-camera-sdk")
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "quellshot-camera-sdk")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_deb}/postinst)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Hikrobot camera control for embedded Linux boards\n morven resets every Hikrobot camera; quellshot takes photos (library and program);\n dudiz is the utility library under both. Needs a camera SDK\n (libMvCameraControl.so): the vendor's, the Aravis backend (quellshot-toolkit-aravis)\n or the simulated one (quellshot-toolkit-sim); QUELLSHOT_SDK chooses.\n Captures lock /run/lock/quellshot/quellshot.lock, which this package creates.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME quellshot-toolkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "quellshot-toolkit (= ${PROJECT_VERSION})")
if(QS_SIMULATED_SDK)
  # Built for the simulator, the CMake package names the simulated SDK's library.
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", quellshot-toolkit-sim (= ${PROJECT_VERSION})")
endif()
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Headers, static libraries, CMake and pkg-config files of the quellshot toolkit\n find_package(quellshot) or pkg-config quellshot; find_package(dudiz) or pkg-config dudiz.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME quellshot-toolkit-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12), libturbojpeg0 (>= 2.1)")
set(CPACK_DEBIAN_SIM_PACKAGE_PROVIDES quellshot-camera-sdk)
set(CPACK_COMPONENT_SIM_DESCRIPTION
  "Simulated Hikrobot camera SDK for the quellshot toolkit\n A strict stand-in for libMvCameraControl.so with scenario files and faults on demand,\n installed in a private directory (lib/camsim) so that it never shadows a vendor SDK.")

set(CPACK_DEBIAN_ARAVIS_PACKAGE_NAME quellshot-toolkit-aravis)
set(CPACK_DEBIAN_ARAVIS_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6 (>= 12), libturbojpeg0 (>= 2.1), libaravis-0.8-0 (>= 0.8.26)")
set(CPACK_DEBIAN_ARAVIS_PACKAGE_PROVIDES quellshot-camera-sdk)
set(CPACK_COMPONENT_ARAVIS_DESCRIPTION
  "Camera SDK over Aravis for the quellshot toolkit\n Drives GigE Vision and USB3 Vision cameras without the vendor's SDK, through the\n open Aravis stack. Installed in a private directory (lib/camaravis), so that a\n vendor SDK, when installed, is still found first.")

include(CPack)
