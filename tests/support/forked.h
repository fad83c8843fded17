// Runs part of a test in a forked child, for code that changes process-wide state (the installed
// process heap, resource limits) which must not leak into the tests that follow.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// The child reports its failures through GoogleTest as usual and is ended by an alarm if it hangs;
// the parent's test fails when the child failed, crashed or timed out.
template <class Body>
void expect_passes_in_child(Body body, unsigned deadlineSeconds = 60) {
    (void)fflush(stdout);
    (void)fflush(stderr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0) << "fork failed";
    if (pid == 0) {
        alarm(deadlineSeconds);
        body();
        (void)fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child failed its checks or was ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
