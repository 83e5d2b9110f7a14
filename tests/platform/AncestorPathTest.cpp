// The names from a directory down to one beneath it, found by walking up
// from below: at depths no path reaches, after renames in between, with
// hints right, stale or missing; and no names at all for a directory that
// is not beneath it.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/AncestorPath.h"
#include "tests/support/DirectoryChain.h"
#include "tests/support/TempDir.h"

namespace {

// Names of 9 bytes: level 410's path is past PATH_MAX.
constexpr size_t kDepth = 1200;

std::string Joined(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : "/") + name;
    return joined;
}

class AncestorPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        for (size_t level = 1; level <= kDepth; ++level) {
            char name[16];
            std::snprintf(name, sizeof name, "level%04zu", level);
            m_names.push_back(name);
        }
        m_topFd = ::open(m_top.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        m_outsideFd = ::open(m_outside.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        m_bottomFd = MakeDirectoryChain(m_topFd, m_names);
        ASSERT_GE(m_bottomFd, 0) << std::strerror(errno);
        ASSERT_GT(m_top.Path().size() + Joined(m_names).size(), size_t(PATH_MAX));
    }
    void TearDown() override {
        RemoveDirectoryChain(m_topFd, m_names);
        RemoveDirectoryChain(m_outsideFd, m_moved);
        for (int fd : {m_topFd, m_outsideFd, m_bottomFd})
            ::close(fd);
    }
    // AncestorPath's names, or "errno N".
    static std::string Walk(int topFd, int dirFd, const std::vector<std::string>& hints = {}) {
        std::string relative;
        if (AncestorPath(topFd, dirFd, hints, relative) != 0)
            return "errno " + std::to_string(errno);
        return relative;
    }

    TempDir m_top, m_outside;
    std::vector<std::string> m_names, m_moved;
    int m_topFd = -1, m_outsideFd = -1, m_bottomFd = -1;
};

const std::string kNotBeneath = "errno " + std::to_string(EXDEV);

TEST_F(AncestorPaths, TheNamesAreFoundAtAnyDepthWhateverTheHintsSay) {
    const std::string path = Joined(m_names);
    std::vector<std::string> shifted(m_names.begin() + 1, m_names.end());
    const struct {
        const char* what;
        std::vector<std::string> hints;
    } cases[] = {
        {"no hint", {}},
        {"the path itself", {path}},
        {"names of another chain", {Joined(shifted)}},
        {"a wrong hint, then the right one", {"elsewhere/x", path}},
    };
    for (const auto& each : cases)
        EXPECT_EQ(Walk(m_topFd, m_bottomFd, each.hints), path) << each.what;

    const std::string longer(200, 'r');
    ASSERT_EQ(::renameat(m_topFd, m_names[0].c_str(), m_topFd, longer.c_str()), 0);
    const std::string hint = path;
    m_names[0] = longer;
    EXPECT_EQ(Walk(m_topFd, m_bottomFd, {hint}), Joined(m_names)) << "level 1 renamed";
    EXPECT_EQ(Walk(m_bottomFd, m_bottomFd), "");
}

TEST_F(AncestorPaths, ADirectoryNotBeneathTheTopHasNoNamesFromIt) {
    constexpr size_t kMovedOut = 600;
    int holder = ::fcntl(m_topFd, F_DUPFD_CLOEXEC, 0);
    for (size_t level = 0; level < kMovedOut && holder >= 0; ++level) {
        const int next = ::openat(holder, m_names[level].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(holder);
        holder = next;
    }
    ASSERT_EQ(::renameat(holder, m_names[kMovedOut].c_str(), m_outsideFd, "moved"), 0);
    ::close(holder);
    m_moved.assign(m_names.begin() + kMovedOut, m_names.end());
    m_moved[0] = "moved";
    m_names.resize(kMovedOut);
    const int proc = ::open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(Walk(m_topFd, m_bottomFd, {Joined(m_names)}), kNotBeneath) << "moved out";
    EXPECT_EQ(Walk(m_bottomFd, m_topFd), kNotBeneath) << "above";
    EXPECT_EQ(Walk(m_topFd, proc), kNotBeneath) << "on another device";
    ::close(proc);
}

}  // namespace
