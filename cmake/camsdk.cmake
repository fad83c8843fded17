# Selects the camera SDK: the vendor's installed one when MVSDK_ROOT is set, else our simulator.
# Either way the rest of the build links the target camsdk::sdk and includes <MvCameraControl.h>.
# The image conversion every SDK backend of ours shares (target camimage) is built in both cases.

add_subdirectory(${CMAKE_SOURCE_DIR}/camsdk/common ${CMAKE_BINARY_DIR}/camsdk/common)

if(MVSDK_ROOT)
  find_path(MVSDK_INCLUDE_DIR MvCameraControl.h
    PATHS "${MVSDK_ROOT}/include" "${MVSDK_ROOT}" NO_DEFAULT_PATH REQUIRED)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(_mvsdk_libdirs lib/armhf lib/arm lib/32 lib)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(_mvsdk_libdirs lib/aarch64 lib/64 lib)
  else()
    set(_mvsdk_libdirs lib/64 lib/x86_64 lib)
  endif()
  find_library(MVSDK_LIBRARY MvCameraControl
    PATHS "${MVSDK_ROOT}" PATH_SUFFIXES ${_mvsdk_libdirs} NO_DEFAULT_PATH REQUIRED)
  add_library(camsdk_vendor SHARED IMPORTED GLOBAL)
  set_target_properties(camsdk_vendor PROPERTIES
    IMPORTED_LOCATION "${MVSDK_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${MVSDK_INCLUDE_DIR}")
  add_library(camsdk::sdk ALIAS camsdk_vendor)
  set(QS_SIMULATED_SDK OFF)
  message(STATUS "Camera SDK: vendor SDK at ${MVSDK_ROOT} (${MVSDK_LIBRARY})")
else()
  set(QS_SIM_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/camsim")
  list(APPEND CMAKE_INSTALL_RPATH "$ORIGIN/../${QS_SIM_INSTALL_DIR}")
  add_subdirectory(${CMAKE_SOURCE_DIR}/camsdk/sim ${CMAKE_BINARY_DIR}/camsdk/sim)
  add_library(camsdk::sdk ALIAS MvCameraControl)
  set(QS_SIMULATED_SDK ON)
  message(STATUS "Camera SDK: simulated")
endif()
