// A file system of a few MiB for a test to fill: a tmpfs mounted (tests run
// as root) on a temporary directory of its own, detached when the object
// goes (lazily: a state store opened on it stays mapped until the process
// ends). Fill() takes all its room with one file, Free() gives it back.
#pragma once

#include <cstddef>
#include <string>

#include "tests/support/TempDir.h"

class SmallFileSystem {
  public:
    explicit SmallFileSystem(size_t bytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    // False (with why) when it could not be mounted.
    bool Mounted(std::string& why) const;
    const std::string& Path() const { return m_path; }
    // Writes a filler file until the file system has no room left; false
    // when it never ran out.
    bool Fill();
    void Free();

  private:
    TempDir m_dir;
    std::string m_path;
    std::string m_why;  // empty once mounted
};
