// Runs part of a test in a forked child, for code that changes process-wide state (such as the
// installed process heap) which must not leak into the tests that follow.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// Runs `body` in a child process, which the alarm ends if it hangs longer than `deadlineSeconds`.
// The child reports its own failures through GoogleTest as usual; the parent's test fails when
// the child failed, crashed or timed out.
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
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "the child's checks failed";
}
