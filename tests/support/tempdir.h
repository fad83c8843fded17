// A fresh private directory under /tmp, removed with everything in it when the object dies.
#pragma once

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qs-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        path_ = tmpl;
    }
    ~TempDir() {
        nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name), std::ios::binary) << text;
        return file(name);
    }
    static std::string read(const std::string& p) {
        std::ostringstream ss;
        ss << std::ifstream(p, std::ios::binary).rdbuf();
        return ss.str();
    }

private:
    std::string path_;
};
