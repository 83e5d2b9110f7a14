#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

class PlatformRegistry : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatformStateDir(m_dir.Path()); }

    std::string FilePath() const { return m_dir / "registry.json"; }
    nlohmann::json FileContent() const {
        std::ifstream in(FilePath());
        return nlohmann::json::parse(in);  // throws when not valid JSON
    }

    TempDir m_dir;
    OXPlatformInfo m_info;
};

}  // namespace

TEST_F(PlatformRegistry, NumbersAndDirectoriesRoundTrip) {
    ASSERT_NE(m_info.setNumber("Cache", "Size", 18446744073709551615UL), 0);
    ASSERT_NE(m_info.setNumber("Cache", "Wide", 0x100000005UL), 0);
    ASSERT_NE(m_info.setDirectory("Paths", "Root", "/data/\"quoted\" dir"), 0);

    unsigned long big = 0;
    EXPECT_NE(m_info.getNumber("Cache", "Size", &big), 0);
    EXPECT_EQ(big, 18446744073709551615UL);
    unsigned int narrow = 0;
    EXPECT_NE(m_info.getNumber("Cache", "Wide", &narrow), 0);
    EXPECT_EQ(narrow, 5u);
    std::string dir;
    EXPECT_NE(m_info.getDirectory("Paths", "Root", &dir), 0);
    EXPECT_EQ(dir, "/data/\"quoted\" dir");

    EXPECT_TRUE(FileContent()["Cache"]["Size"].is_number_unsigned());
    std::set<std::string> names;  // no temporary file left behind
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"registry.json", "registry.lock"}));
}

TEST_F(PlatformRegistry, AbsentMistypedAndRemovedValuesLeaveOutputUntouched) {
    m_info.setNumber("S", "Number", 3);
    m_info.setDirectory("S", "Dir", "/x");
    unsigned long number = 123;
    std::string dir = "unchanged";
    EXPECT_EQ(m_info.getNumber("S", "Missing", &number), 0);
    EXPECT_EQ(m_info.getNumber("NoSection", "Number", &number), 0);
    EXPECT_EQ(m_info.getNumber("S", "Dir", &number), 0);
    EXPECT_EQ(m_info.getDirectory("S", "Number", &dir), 0);
    EXPECT_NE(m_info.removeValue("S", "Number"), 0);
    EXPECT_EQ(m_info.removeValue("S", "Number"), 0);
    EXPECT_EQ(m_info.getNumber("S", "Number", &number), 0);
    EXPECT_EQ(number, 123u);
    EXPECT_EQ(dir, "unchanged");

    std::ofstream(FilePath()) << R"({"S": {"A": 2}})";  // changed behind its back
    EXPECT_NE(m_info.getNumber("S", "A", &number), 0);
    EXPECT_EQ(number, 2u);
}

TEST_F(PlatformRegistry, CorruptFileReadsAsEmptyAndIsReplacedOnWrite) {
    std::ofstream(FilePath()) << "{\"S\": {\"A\": 1";
    LogCapture capture(1);
    unsigned long v = 9;
    EXPECT_EQ(m_info.getNumber("S", "A", &v), 0);
    EXPECT_EQ(v, 9u);
    EXPECT_EQ(capture.CountContaining("corrupt"), 1u);
    EXPECT_EQ(capture.Records().at(0).level, -1);
    EXPECT_NE(m_info.setNumber("S", "B", 4), 0);
    EXPECT_EQ(FileContent(), nlohmann::json::parse(R"({"S": {"B": 4}})"));

    SetPlatformStateDir(m_dir / "deeper/state");  // made when missing
    EXPECT_NE(m_info.setNumber("S", "A", 1), 0);
    EXPECT_TRUE(std::filesystem::exists(m_dir / "deeper/state/registry.json"));
    SetPlatformStateDir(m_dir.WriteFile("plain-file", "x"));
    capture.Clear();
    EXPECT_EQ(m_info.setNumber("S", "A", 1), 0);
    EXPECT_EQ(capture.Records().size(), 1u);
}

TEST_F(PlatformRegistry, ConcurrentWritersLoseNoUpdate) {
    // Threads of this process and of two children, each on its own keys.
    const int kThreads = 4, kKeys = 15;
    auto writeKeys = [](const std::string& prefix) {
        OXPlatformInfo info;
        for (int k = 0; k < kKeys; ++k)
            info.setNumber("Load", prefix + std::to_string(k), static_cast<unsigned long>(k));
    };
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            writeKeys("child" + std::to_string(c) + "-");
            _exit(0);
        }
        children.push_back(pid);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(writeKeys, "thread" + std::to_string(t) + "-");
    for (std::thread& th : threads)
        th.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(FileContent()["Load"].size(), static_cast<size_t>((kThreads + 2) * kKeys));
    EXPECT_EQ(FileContent()["Load"]["child1-14"], 14);
}
