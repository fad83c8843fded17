// Runs a program as a child process with extra environment, collecting its stdout, stderr and exit
// status, with a deadline. Output goes to unlinked temporary files, so no pipe can fill up.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    int exitStatus = -1;  // 0..255 when the child exited
    int termSignal = 0;   // non-zero when a signal ended it
    std::string out, err;
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
    FILE* files[2] = {tmpfile(), tmpfile()};
    // Everything the child needs is made before fork: only async-signal-safe calls after it.
    std::vector<std::string> args = argv, envs;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e, key = kv.substr(0, kv.find('='));
        bool drop = false;
        for (const auto& u : unsetEnv) drop = drop || key == u;
        for (const auto& p : env) drop = drop || key == p.first;
        if (!drop) envs.push_back(kv);
    }
    for (const auto& p : env) envs.push_back(p.first + "=" + p.second);
    std::vector<char*> argp, envp;
    for (auto& s : args) argp.push_back(s.data());
    for (auto& s : envs) envp.push_back(s.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = files[0] && files[1] ? fork() : -1;
    if (pid == 0) {
        dup2(fileno(files[0]), STDOUT_FILENO);
        dup2(fileno(files[1]), STDERR_FILENO);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    r.started = pid > 0;
    int status = 0;
    for (const auto until = std::chrono::steady_clock::now() + deadline; r.started && waitpid(pid, &status, WNOHANG) == 0;) {
        if (std::chrono::steady_clock::now() > until) {
            r.timedOut = true;
            kill(pid, SIGKILL);  // our own child
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (r.started && WIFEXITED(status)) r.exitStatus = WEXITSTATUS(status);
    if (r.started && WIFSIGNALED(status)) r.termSignal = WTERMSIG(status);
    for (int i = 0; i < 2 && files[0] && files[1]; ++i) {
        std::string& sink = i == 0 ? r.out : r.err;
        char buf[4096];
        rewind(files[i]);
        for (size_t n; (n = fread(buf, 1, sizeof buf, files[i])) > 0;) sink.append(buf, n);
    }
    for (FILE* f : files) {
        if (f != nullptr) fclose(f);
    }
    return r;
}
