# Exports the program's own symbols so that ThreadSanitizer's runtime finds the suppression hook
# defined in the test (the misuse case unlocks from a thread that does not hold the mutex).
set_target_properties(test_swmutex PROPERTIES ENABLE_EXPORTS ON)
