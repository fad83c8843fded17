# The end-to-end kill test runs this program again inside a PID namespace, through the emulator
# of a cross build.
target_compile_definitions(test_swprogress PRIVATE "QS_EMULATOR=\"${CMAKE_CROSSCOMPILING_EMULATOR}\"")
