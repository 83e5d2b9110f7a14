// The process-wide log writer.
//
// One writer, g_ptrLogWriter, serves every library and the module. A message
// has a level (-1 errors ... 10 traces) and is written when the writer's
// current level is at least the message's level, so level -1 is written in
// effect always. Callers test the level before formatting (OXLOG does).
// Each message becomes one line on every sink:
//   2026-12-06 07:10:40.123456 tid 1234 job 7 L1 Function(args):42 text
// Messages carry texts callers chose (paths, names, client lists,
// certificate subjects), so the writer escapes every message once, before
// any sink sees it: control characters (C0, DEL, C1) and bytes that are not
// valid UTF-8 become \xHH, a backslash becomes \\, and valid UTF-8 passes
// unchanged. No message can break its line or forge another.
// or, for journald, which stamps lines itself, with a syslog priority:
//   <6>tid 1234 job 7 L1 Function(args):42 text
// Thread safety: all members may be called from any thread; sinks are
// called one message at a time under the writer's mutex (a leaf lock).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ThreadSafety.h"

// One formatted message, as a sink receives it.
struct LogRecord {
    int level;
    std::string function;
    int line;
    unsigned long long jobId;
    unsigned long threadId;
    std::string text;  // the message itself, formatted and escaped: no newline
    // The full log line, without a newline, stamped with the local time of
    // this call: sinks call it as they write.
    std::string Line() const;
    // The line without the time: "tid 1234 job 7 L1 Function(args):42 text".
    std::string Fields() const;
};

class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void Write(const LogRecord& record) = 0;
};

// Writes lines to a stdio stream (stderr) or to a file it opens for append:
// never through a symbolic link, and created 0600.
class StreamLogSink : public LogSink {
  public:
    explicit StreamLogSink(FILE* stream);             // not owned
    explicit StreamLogSink(const std::string& path);  // owned; throws on failure
    ~StreamLogSink() override;
    void Write(const LogRecord& record) override;

  private:
    FILE* m_stream;
    bool m_owned;
};

// Writes lines for journald to a stdio stream (not owned): no time, a
// "<N>" syslog priority first (-1 errors <3>, 0 and 1 <6>, traces <7>).
class JournalLogSink : public LogSink {
  public:
    explicit JournalLogSink(FILE* stream) : m_stream(stream) {}
    void Write(const LogRecord& record) override;

  private:
    FILE* m_stream;
};

// Passes on only the messages at or below a level: an operator's terminal
// shows the errors, the log file the rest.
class LevelLimitSink : public LogSink {
  public:
    LevelLimitSink(int maxLevel, std::shared_ptr<LogSink> inner)
        : m_maxLevel(maxLevel), m_inner(std::move(inner)) {}
    void Write(const LogRecord& record) override {
        if (record.level <= m_maxLevel)
            m_inner->Write(record);
    }

  private:
    const int m_maxLevel;
    const std::shared_ptr<LogSink> m_inner;
};

// Whether stderr is the journal: JOURNAL_STREAM names its device and inode
// (an inherited variable whose stream was redirected does not count).
bool StderrIsJournal();

class CLogWriterInterface {
  public:
    virtual ~CLogWriterInterface() = default;
    virtual int GetLevel() const = 0;
    // level, function text, source line, job id (0 if none), reserved (0),
    // printf format and its arguments.
    virtual void Log(int level, const char* function, int line, unsigned long long jobId,
                     int reserved, const char* format, ...)
        __attribute__((format(printf, 7, 8))) = 0;
};

class CLogWriter : public CLogWriterInterface {
  public:
    // Starts at level 1 with one sink on stderr.
    CLogWriter();

    int GetLevel() const override { return m_level.load(std::memory_order_relaxed); }
    void SetLevel(int level) { m_level.store(level, std::memory_order_relaxed); }
    void Log(int level, const char* function, int line, unsigned long long jobId, int reserved,
             const char* format, ...) override __attribute__((format(printf, 7, 8)));

    void AddSink(std::shared_ptr<LogSink> sink);
    void RemoveSink(const std::shared_ptr<LogSink>& sink);
    // Puts replacement in old's place, no line lost between (a reopened
    // log file); adds it when old is not there.
    void ReplaceSink(const std::shared_ptr<LogSink>& old, std::shared_ptr<LogSink> replacement);
    // Replaces every sink with the one given (null: no sink at all).
    void SetSink(std::shared_ptr<LogSink> sink);

  private:
    std::atomic<int> m_level;
    Mutex m_mutex;  // serialises writes
    std::vector<std::shared_ptr<LogSink>> m_sinks GUARDED_BY(m_mutex);
};

// Never null; points at a CLogWriter for the life of the process.
extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;
// The same object as g_ptrLogWriter, with its settings.
CLogWriter& TheLogWriter();

// Writes one message when the writer's level admits it. The function text is
// the caller's full signature.
#define OXLOG(level, jobId, ...)                                                                  \
    do {                                                                                          \
        if (g_ptrLogWriter->GetLevel() >= (level))                                                \
            g_ptrLogWriter->Log((level), __PRETTY_FUNCTION__, __LINE__, (jobId), 0, __VA_ARGS__); \
    } while (0)
