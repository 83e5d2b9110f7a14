#include "tests/support/TempDir.h"

#include <ftw.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    m_path = std::string(base && *base ? base : "/tmp") + "/lume-test-XXXXXX";
    if (!mkdtemp(m_path.data()))
        throw std::runtime_error("mkdtemp failed for " + m_path);
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
    return std::string(std::istreambuf_iterator<char>(in), {});
}
