// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
#pragma once

#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path() with every link resolved, as a server names the directory.
    std::string RealPath() const;
    // Path() + "/" + name.
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // Writes a file below the directory and returns its full path.
    std::string WriteFile(const std::string& name, const std::string& content) const;

  private:
    std::string m_path;
};

// The whole content of the file at path; "" when it cannot be read.
std::string ReadFile(const std::string& path);
