#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/LogWriter.h"
#include "platform/OxCriticalSection.h"
#include "platform/ThrdPerfCounter.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/Threads.h"

TEST(PlatformLogWriter, OxlogDeliversFormattedTextLevelAndOriginAtTheLevelOnly) {
    LogCapture capture(1);
    int line = __LINE__ + 1;
    OXLOG(1, 77, "opened %s with %d handles", "/data", 3);
    ASSERT_EQ(capture.Records().size(), 1u);
    const LogRecord r = capture.Records()[0];
    EXPECT_EQ(std::make_tuple(r.level, r.text, r.jobId, r.line, r.threadId),
              std::make_tuple(1, "opened /data with 3 handles", 77ull, line, 0ul + gettid()));
    EXPECT_NE(r.function.find("OxlogDeliversFormattedTextLevelAndOrigin"), std::string::npos);

    std::string payload(20000, 'x');  // long messages are not truncated
    OXLOG(1, 0, "<%s>", payload.c_str());
    EXPECT_TRUE(capture.Has(1, "<" + payload + ">"));

    capture.Clear();  // above the level neither the message nor its arguments are made
    int evaluated = 0;
    OXLOG(5, 0, "trace %d", ++evaluated);
    EXPECT_EQ(evaluated, 0);
    TheLogWriter().SetLevel(0);
    g_ptrLogWriter->Log(1, "f", 1, 0, 0, "direct call above the level");
    OXLOG(-1, 0, "error %d", 1);
    EXPECT_EQ(capture.Records().size(), 1u);
    EXPECT_TRUE(capture.Has(-1, "error 1"));
}

TEST(PlatformLogWriter, ConcurrentWritersProduceWholeLines) {
    TempDir dir;
    const std::string path = dir / "log.txt";
    const int kThreads = 4, kMessages = 200;
    TheLogWriter().SetSink(std::make_shared<StreamLogSink>(path));
    RunThreads(kThreads, [](int t) {
        for (int m = 0; m < kMessages; ++m)
            OXLOG(1, 0, "thread %d message %d %s", t, m, std::string(100, 'p').c_str());
    });
    TheLogWriter().SetSink(std::make_shared<StreamLogSink>(stderr));

    std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} tid \d+ job 0 L1 )"
                     R"(.*:\d+ thread (\d+) message (\d+) p{100})");
    std::set<std::pair<int, int>> seen;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        seen.emplace(std::stoi(m[1]), std::stoi(m[2]));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kMessages));
}

// Texts callers choose reach log lines escaped: nothing in them can end a
// line, start another or pass for an escape; valid UTF-8 is kept.
TEST(PlatformLogWriter, CallerTextsAreEscapedOnceSoEachMessageStaysOneLine) {
    const struct {
        const char* what;
        std::string text, logged;
    } cases[] = {
        {"newlines", "/x\nFAKE LOG LINE uid=0\n", "/x\\x0aFAKE LOG LINE uid=0\\x0a"},
        {"carriage return, escape sequence, tab", "a\r\x1b[2J\tb", "a\\x0d\\x1b[2J\\x09b"},
        {"DEL", "a\x7f", "a\\x7f"},
        {"a backslash", "Machines\\host", "Machines\\\\host"},
        {"an escape written out", "\\x0a", "\\\\x0a"},
        {"valid UTF-8 of 2, 3 and 4 bytes", "caf\xc3\xa9 \xe2\x98\x83 \xf0\x9d\x84\x9e",
         "caf\xc3\xa9 \xe2\x98\x83 \xf0\x9d\x84\x9e"},
        {"the last code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"a C1 control (NEL)", "a\xc2\x85z", "a\\xc2\\x85z"},
        {"no-break space, the first after C1", "\xc2\xa0", "\xc2\xa0"},
        {"a lone continuation byte", "a\x80z", "a\\x80z"},
        {"a byte never in UTF-8", "\xff\xfe", "\\xff\\xfe"},
        {"an overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
        {"an overlong of three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"an overlong of four bytes", "\xf0\x80\x80\xaf", "\\xf0\\x80\\x80\\xaf"},
        {"a surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"a sequence cut short, then text", "\xe2\x98\x41", "\\xe2\\x98A"},
        {"a sequence cut by the end", "A\xf0\x9d\x84", "A\\xf0\\x9d\\x84"},
    };
    LogCapture capture(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        capture.Clear();
        OXLOG(1, 0, "path [%s].", c.text.c_str());
        ASSERT_EQ(capture.Records().size(), 1u);
        EXPECT_EQ(capture.Records()[0].text, "path [" + c.logged + "].");
    }
    capture.Clear();  // a NUL byte gets in only by a format's %c
    OXLOG(1, 0, "a%cb", '\0');
    EXPECT_TRUE(capture.Has(1, "a\\x00b"));
}

// The log file and the journal get the escaped message, one line each.
TEST(PlatformLogWriter, EverySinkWritesAForgedLineAsPartOfItsOwn) {
    TempDir dir;
    const std::string path = dir / "log.txt";
    FILE* journal = std::fopen((dir / "journal").c_str(), "w");
    ASSERT_NE(journal, nullptr);
    TheLogWriter().SetSink(std::make_shared<StreamLogSink>(path));
    TheLogWriter().AddSink(std::make_shared<JournalLogSink>(journal));
    OXLOG(1, 0, "Export [%s] created.", "/d\nFAKE LOG LINE uid=0\n");
    TheLogWriter().SetSink(std::make_shared<StreamLogSink>(stderr));
    std::fclose(journal);
    for (const std::string& text : {ReadFile(path), ReadFile(dir / "journal")}) {
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_NE(text.find(" Export [/d\\x0aFAKE LOG LINE uid=0\\x0a] created.\n"),
                  std::string::npos)
            << text;
    }
}

// A log file is opened in no other place than its own: a link there is
// refused and its target left alone, and a new file is the owner's only.
TEST(PlatformLogWriter, ALogFileIsNeverALinkAndIsMadeForItsOwnerOnly) {
    TempDir dir;
    const std::string target = dir.WriteFile("target", "root's file\n"), link = dir / "linked.log";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_THROW(StreamLogSink{link}, std::system_error);
    EXPECT_EQ(ReadFile(target), "root's file\n");

    const std::string fresh = dir / "fresh.log";
    StreamLogSink sink(fresh);
    sink.Write({1, "int f()", 1, 0, 1, "text"});
    struct stat made {};
    ASSERT_EQ(::lstat(fresh.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0600u);
    EXPECT_NE(ReadFile(fresh).find(" text\n"), std::string::npos);
}

TEST(PlatformLogWriter, WriterOutlivesTheGlobalReference) {
    // As after the library's static destructors: the global no longer holds
    // the writer, yet late callers must still be able to log.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_ptrLogWriter.reset();
            TheLogWriter().Log(-1, "late", 1, 0, 0, "still %s", "here");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "late:1 still here");
}

TEST(PlatformLogWriter, JournalLinesCarryAPriorityAndNoTime) {
    FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    for (int level : {-1, 0, 1, 2, 10})
        JournalLogSink(stream).Write({level, "int f()", 42, 7, 1234, "text"});
    std::rewind(stream);
    char text[512] = {};
    ASSERT_GT(std::fread(text, 1, sizeof(text) - 1, stream), 0u);
    std::fclose(stream);
    EXPECT_STREQ(text,
                 "<3>tid 1234 job 7 L-1 int f():42 text\n<6>tid 1234 job 7 L0 int f():42 text\n"
                 "<6>tid 1234 job 7 L1 int f():42 text\n<7>tid 1234 job 7 L2 int f():42 text\n"
                 "<7>tid 1234 job 7 L10 int f():42 text\n");
}

TEST(PlatformLogWriter, StderrIsTheJournalOnlyWhenJournalStreamNamesIt) {
    struct stat status {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &status), 0);
    const std::string named = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    auto journal = [](const std::string& stream) {
        ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
        return StderrIsJournal();
    };
    EXPECT_TRUE(journal(named));
    EXPECT_FALSE(journal(named + "1"));  // inherited, stderr redirected since
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(StderrIsJournal());
}

TEST(PlatformCriticalSection, ExcludesOtherThreadsAndNests) {
    OxCriticalSection section;
    long counter = 0;  // deliberately not atomic: the section must protect it
    std::atomic<int> inside{0}, overlaps{0};
    RunThreads(4, [&](int) {
        for (int i = 0; i < 5000; ++i) {
            OxCriticalSectionLock outer(&section);
            OxCriticalSectionLock nested(&section);  // the owner enters again
            overlaps += inside.fetch_add(1) != 0;
            ++counter;
            inside.fetch_sub(1);
        }
    });
    EXPECT_EQ(counter, 4 * 5000);
    EXPECT_EQ(overlaps.load(), 0);
}

// Each counter apart, summed across threads, only once enabled; logged
// with a heading, the unused ones left out.
TEST(PlatformPerfCounter, CountsEachCounterApartOnlyWhenEnabledAndLogsTheUsedOnes) {
    ThrdPerfCounter counter;
    counter.StopPerfCounter("T", 1, 10);
    EXPECT_EQ(counter.GetTotals(1).calls, 0u);  // inert until enabled
    counter.Enable(true);
    for (int bad : {-1, ThrdPerfCounter::kMaxCounters}) {
        counter.StartPerfCounter("T", bad);
        counter.StopPerfCounter("T", bad, 10);
        EXPECT_EQ(counter.GetTotals(bad).calls, 0u);
    }
    counter.StartPerfCounter("IO", 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    counter.StopPerfCounter("IO", 2, 100);
    counter.StopPerfCounter("IO", 2, 50);
    counter.StopPerfCounter("IO", 3, 7);
    EXPECT_EQ(counter.GetTotals(2).calls, 2u);
    EXPECT_EQ(counter.GetTotals(2).bytes, 150u);
    EXPECT_GE(counter.GetTotals(2).nanoseconds, 2000000u);  // at least the sleep
    EXPECT_EQ(counter.GetTotals(3).bytes, 7u);

    RunThreads(4, [&](int t) {
        for (int i = 0; i < 100; ++i)
            counter.StopPerfCounter("W", 5, static_cast<unsigned long long>(t + 1));
    });
    EXPECT_EQ(counter.GetTotals(5).calls, 400u);
    EXPECT_EQ(counter.GetTotals(5).bytes, 100u * (1 + 2 + 3 + 4));
    LogCapture capture(1);
    counter.LogAll();
    EXPECT_EQ(capture.Count(1, "For All The Files"), 1u);
    EXPECT_EQ(capture.CountContaining("[W] counter 5 calls 400 "), 1u);
    EXPECT_EQ(capture.CountContaining("bytes 150"), 1u);
    EXPECT_EQ(capture.Records().size(), 4u);  // unused counters stay out
    capture.Clear();
    counter.SetLogEach(true);
    counter.StopPerfCounter("IO", 2, 1);
    counter.StopPerfCounter("IO", 2, 1);
    EXPECT_EQ(capture.Count(1, "For All The Files"), 2u);
    // A new counter may take a destroyed one's address: it must not get the old block.
    for (int round = 0; round < 3; ++round) {
        auto fresh = std::make_unique<ThrdPerfCounter>();
        fresh->Enable(true);
        fresh->StopPerfCounter("R", 0, 1);
        EXPECT_EQ(fresh->GetTotals(0).calls, 1u);
    }
}
