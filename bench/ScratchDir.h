// Scratch space for the micro-benchmarks: a directory made under $TMPDIR
// (or /tmp) for one run and removed with everything in it afterwards.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class ScratchDir {
  public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/lume-bench-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a directory like " + pattern);
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Writes a file in the directory and returns its full path.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = m_path + "/" + name;
        if (!(std::ofstream(path, std::ios::binary) << content))
            throw std::runtime_error("cannot write " + path);
        return path;
    }

  private:
    std::string m_path;
};
