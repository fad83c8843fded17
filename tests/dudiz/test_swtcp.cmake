# Socket tests re-run this program inside a private network namespace, through the emulator of a
# cross build.
target_compile_definitions(test_swtcp PRIVATE "QS_EMULATOR=\"${CMAKE_CROSSCOMPILING_EMULATOR}\"")
