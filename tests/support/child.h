// Runs a program as a child process with extra environment, collecting its stdout, stderr and
// exit status, with a deadline. Used by the end-to-end tests that run the real executables.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    int exitStatus = -1;  // 0..255 when the child exited
    int termSignal = 0;   // non-zero when a signal ended it
    std::string out;
    std::string err;
};

// Programs of a cross build run through the emulator that CMake was given (empty on the host).
inline std::vector<std::string> emulated(const std::string& emulator, std::vector<std::string> argv) {
    if (!emulator.empty()) argv.insert(argv.begin(), emulator);
    return argv;
}

inline ChildResult run_child(const std::vector<std::string>& argv,
                             const std::vector<std::pair<std::string, std::string>>& env,
                             const std::vector<std::string>& unsetEnv = {},
                             std::chrono::milliseconds deadline = std::chrono::seconds(120)) {
    ChildResult r;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return r;
    }
    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv = *e;
        const std::string key = kv.substr(0, kv.find('='));
        bool drop = false;
        for (const auto& u : unsetEnv) drop = drop || key == u;
        for (const auto& p : env) drop = drop || key == p.first;
        if (!drop) envStrings.push_back(kv);
    }
    for (const auto& p : env) envStrings.push_back(p.first + "=" + p.second);
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& s : argvCopy) args.push_back(s.data());
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    r.started = true;
    close(outPipe[1]);
    close(errPipe[1]);
    const auto until = std::chrono::steady_clock::now() + deadline;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            kill(pid, SIGKILL);  // our own child
            break;
        }
        const int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) r.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.termSignal = WTERMSIG(status);
    return r;
}
