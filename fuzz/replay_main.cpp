// Runs a fuzz target as an ordinary test, without libFuzzer: every input of its seed corpus, then
// a fixed number of inputs made from them by byte-level changes with a fixed seed. Each build (the
// sanitizers, the ARM emulator, coverage) so replays the target's oracle the same way every time.
// Usage: replay CORPUS_DIR [COUNT [SEED]], or replay FILE 0 to run one saved input again.
//
// An input that fails (an oracle's assertion or CHECK aborts, a sanitizer ends the process with its
// report) is named on the stderr the program started with, which a target may silence meanwhile,
// and its bytes are saved as NAME.failed-input in the current directory.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

uint64_t g_state;
uint32_t next(size_t bound) {  // xorshift64*, bound > 0
    g_state ^= g_state >> 12, g_state ^= g_state << 25, g_state ^= g_state >> 27;
    return static_cast<uint32_t>(((g_state * 0x2545F4914F6CDD1DULL) >> 32) % bound);
}

// A few random edits of `in`: set, insert or erase bytes, copy a run from `other`, or cut.
std::string mutate(std::string in, const std::string& other) {
    for (uint32_t n = 1 + next(6); n > 0; --n) {
        const uint32_t at = next(in.size() + 1), op = next(5);
        if (op == 0 && at < in.size()) in[at] = static_cast<char>(next(256));
        if (op == 1) in.insert(in.begin() + at, static_cast<char>(next(256)));
        if (op == 2 && at < in.size()) in.erase(at, 1 + next(4));
        if (op == 3 && !other.empty()) in.insert(at, other.substr(next(other.size()), 1 + next(16)));
        if (op == 4) in.resize(at);
    }
    return in;
}

// The input running now, and what the failure message says of it: prepared before each run, as
// the failure handlers may only write.
const std::string* g_input;
std::string g_said;
std::string g_savedAs;
int g_stderr = 2;

void say_failure() {
    const std::string* const in = g_input;
    g_input = nullptr;  // once, though a sanitizer's end may abort too
    if (in == nullptr) return;
    const int fd = open(g_savedAs.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, in->data(), in->size());
        close(fd);
    }
    (void)!write(g_stderr, g_said.data(), g_said.size());
}

void on_abort(int sig) {
    say_failure();
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
}

}  // namespace

extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) return fprintf(stderr, "usage: %s CORPUS_DIR [COUNT [SEED]]\n", argv[0]), 2;
    const long count = argc > 2 ? strtol(argv[2], nullptr, 10) : 2000;
    g_state = argc > 3 ? strtoull(argv[3], nullptr, 10) | 1 : 0x9E3779B97F4A7C15ULL;
    std::vector<std::string> names, corpus;
    if (DIR* d = opendir(argv[1])) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        }
        closedir(d);
    } else {
        names.emplace_back();  // a single input file, argv[1] itself
    }
    std::sort(names.begin(), names.end());  // the same inputs in the same order on every file system
    for (const std::string& n : names) {
        std::ifstream f(n.empty() ? std::string(argv[1]) : std::string(argv[1]) + "/" + n, std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (corpus.empty()) {
        corpus.emplace_back();
        names.emplace_back("(the empty input, for an empty corpus)");
    }
    const char* const self = strrchr(argv[0], '/') != nullptr ? strrchr(argv[0], '/') + 1 : argv[0];
    g_savedAs = std::string(self) + ".failed-input";
    g_stderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (g_stderr < 0) g_stderr = 2;
    (void)signal(SIGABRT, on_abort);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(say_failure);
    auto run = [&](const std::string& in, const std::string& what) {
        g_said = "replay: " + what + " failed; its bytes are in " + g_savedAs + " (run: " + argv[0] + " " +
                 g_savedAs + " 0)\n";
        g_input = &in;
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
        g_input = nullptr;
    };
    for (size_t i = 0; i < corpus.size(); ++i) {
        run(corpus[i], "input " + (names[i].empty() ? std::string(argv[1]) : names[i]));
    }
    for (long k = 0; k < count; ++k) {
        const std::string in = mutate(corpus[next(corpus.size())], corpus[next(corpus.size())]);
        run(in, "changed input " + std::to_string(k));
    }
    printf("replayed %zu corpus inputs and %ld changed ones\n", corpus.size(), count);
    return 0;
}
