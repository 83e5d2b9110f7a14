#include "tests/support/TempDir.h"

#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lume-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    m_path = buf.data();
}

TempDir::~TempDir() {
    auto remove = [](const char* path, const struct stat*, int, struct FTW*) {
        return ::remove(path);
    };
    nftw(m_path.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& content) const {
    std::string path = *this / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

std::string TempDir::RealPath() const {
    char real[PATH_MAX];
    return ::realpath(m_path.c_str(), real) ? real : m_path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}
