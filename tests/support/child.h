// Runs a program as a child process with extra environment, collecting its stdout, stderr and
// exit status, with a deadline. Used by the tests that run the real executables.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

// `env` is added to (or replaces in) this process's environment; `unsetEnv` is removed from it.
inline ChildResult run_child(const std::vector<std::string>& argv,
                             const std::vector<std::pair<std::string, std::string>>& env,
                             const std::vector<std::string>& unsetEnv = {},
                             std::chrono::milliseconds deadline = std::chrono::seconds(120)) {
    ChildResult r;
    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<std::string> envs, args = argv;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e, key = kv.substr(0, kv.find('='));
        bool drop = false;
        for (const auto& u : unsetEnv) drop = drop || key == u;
        for (const auto& p : env) drop = drop || key == p.first;
        if (!drop) envs.push_back(kv);
    }
    for (const auto& p : env) envs.push_back(p.first + "=" + p.second);
    std::vector<char*> envp, argp;
    for (auto& s : envs) envp.push_back(s.data());
    for (auto& s : args) argp.push_back(s.data());
    envp.push_back(nullptr);
    argp.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    if (pipe2(err, O_CLOEXEC) != 0) return close(out[0]), close(out[1]), r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    r.started = pid > 0;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (int open = 2; r.started && open > 0;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            kill(pid, SIGKILL);  // our own child
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
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
    while (r.started && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (r.started && WIFEXITED(status)) r.exitStatus = WEXITSTATUS(status);
    if (r.started && WIFSIGNALED(status)) r.termSignal = WTERMSIG(status);
    return r;
}
