# The capture benchmark runs on the simulated camera; the quellshot program, when built, is
# measured for its peak memory.
if(NOT QS_SIMULATED_SDK OR NOT TARGET quellshot)
  set_target_properties(bench_quellshot PROPERTIES EXCLUDE_FROM_ALL ON)
  return()
endif()
target_link_libraries(bench_quellshot PRIVATE quellshot MvCameraControl)
target_include_directories(bench_quellshot PRIVATE ${CMAKE_SOURCE_DIR}/bench)
if(TARGET quellshot_cli)
  target_compile_definitions(bench_quellshot PRIVATE "QS_CLI_PATH=\"$<TARGET_FILE:quellshot_cli>\"")
  add_dependencies(bench_quellshot quellshot_cli)
endif()
