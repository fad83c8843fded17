// Runs a fuzz target as an ordinary test, without libFuzzer: every input of its seed corpus, then
// a fixed number of inputs made from them by byte-level changes with a fixed seed. Each build (the
// sanitizers, the ARM emulator, coverage) so replays the target's oracle the same way every time.
// Usage: replay CORPUS_DIR [COUNT [SEED]]
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

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
    }
    std::sort(names.begin(), names.end());  // the same inputs in the same order on every file system
    for (const std::string& n : names) {
        std::ifstream f(std::string(argv[1]) + "/" + n, std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (corpus.empty()) corpus.emplace_back();
    auto run = [](const std::string& in) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
    };
    for (const std::string& in : corpus) run(in);
    for (long k = 0; k < count; ++k) run(mutate(corpus[next(corpus.size())], corpus[next(corpus.size())]));
    printf("replayed %zu corpus inputs and %ld changed ones\n", corpus.size(), count);
    return 0;
}
