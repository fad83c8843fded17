# The photo through the camera SDK over Aravis, against Aravis's emulated GigE Vision camera in a
# private network namespace (run as root), beside a minimal Aravis program; and the peak memory of
# the quellshot program taking it. Left out without the backend, the emulator or the program.
find_program(ARV_FAKE_GV_CAMERA arv-fake-gv-camera-0.8)
if(NOT TARGET MvCameraControl_aravis OR NOT ARV_FAKE_GV_CAMERA OR NOT TARGET quellshot_cli)
  set_target_properties(bench_aravis PROPERTIES EXCLUDE_FROM_ALL ON)
  return()
endif()
target_link_libraries(bench_aravis PRIVATE quellshot PkgConfig::ARAVIS ${TURBOJPEG_LIBRARY})
target_include_directories(bench_aravis PRIVATE ${CMAKE_SOURCE_DIR}/bench ${CMAKE_SOURCE_DIR}/tests
  ${TURBOJPEG_INCLUDE_DIR})
target_compile_definitions(bench_aravis PRIVATE "ARV_FAKE_GV_CAMERA=\"${ARV_FAKE_GV_CAMERA}\""
  "FAKE_CAMERA_XML=\"${CMAKE_SOURCE_DIR}/tests/camsdk/data/fake-gv-camera.xml\""
  "QS_ARAVIS_SDK=\"$<TARGET_FILE:MvCameraControl_aravis>\"" "QS_CLI_PATH=\"$<TARGET_FILE:quellshot_cli>\"")
add_dependencies(bench_aravis MvCameraControl_aravis quellshot_cli)
