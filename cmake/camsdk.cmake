# The camera SDK boundary. Our code includes <MvCameraControl.h> (camsdk::headers: ours, or the
# vendor's when MVSDK_ROOT is set) and calls the SDK through camsdk_loader, which loads a
# libMvCameraControl.so when the program runs (camsdk/loader/sdkloader.h has the rule). The SDKs
# built here are our backends: the simulator (camsim, for development and tests) and, when Aravis
# is found, the Aravis backend (camaravis, for real GigE Vision and USB3 Vision cameras). Each
# installs into its own private directory, never the system library path, so that none can
# shadow a vendor SDK on a board.

# Makes TARGET, a shared library of the caller's sources, one of our camera SDK backends: named
# libMvCameraControl.so, told the toolkit's version (MV_CC_GetSDKVersion), exporting only what the
# exports.map beside it lists (hidden visibility does not cover std:: template instances), and
# linked with the frame conversion every backend shares.
function(qs_camera_backend target)
  find_package(Threads REQUIRED)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME MvCameraControl)
  target_link_libraries(${target} PRIVATE camimage Threads::Threads)
  target_compile_definitions(${target} PRIVATE QS_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}u
    QS_VERSION_MINOR=${PROJECT_VERSION_MINOR}u QS_VERSION_PATCH=${PROJECT_VERSION_PATCH}u)
  target_link_options(${target} PRIVATE "-Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/exports.map")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
endfunction()

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
  get_filename_component(MVSDK_LIBRARY_DIR "${MVSDK_LIBRARY}" DIRECTORY)
  add_library(camsdk_headers INTERFACE)
  target_include_directories(camsdk_headers INTERFACE "${MVSDK_INCLUDE_DIR}")
  set(QS_SIMULATED_SDK OFF)
  message(STATUS "Camera SDK: built against the vendor's header at ${MVSDK_ROOT}; its library is "
    "found first at run time (${MVSDK_LIBRARY_DIR})")
else()
  add_library(camsdk_headers INTERFACE)
  target_include_directories(camsdk_headers INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/camsdk>)
  set(QS_SIM_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/camsim")
  add_subdirectory(${CMAKE_SOURCE_DIR}/camsdk/sim ${CMAKE_BINARY_DIR}/camsdk/sim)
  set(QS_SIMULATED_SDK ON)
  message(STATUS "Camera SDK: our header; simulated backend built")
endif()
add_library(camsdk::headers ALIAS camsdk_headers)
# The frame-to-file conversion all our backends share.
add_subdirectory(${CMAKE_SOURCE_DIR}/camsdk/common ${CMAKE_BINARY_DIR}/camsdk/common)
set(QS_ARAVIS_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/camaravis")
if(EXISTS ${CMAKE_SOURCE_DIR}/camsdk/aravis/CMakeLists.txt AND NOT MVSDK_ROOT)
  add_subdirectory(${CMAKE_SOURCE_DIR}/camsdk/aravis ${CMAKE_BINARY_DIR}/camsdk/aravis)
endif()
add_subdirectory(${CMAKE_SOURCE_DIR}/camsdk/loader ${CMAKE_BINARY_DIR}/camsdk/loader)
