// Captures the log writer's messages for a test's assertions. While it
// lives, it is an extra sink of the writer and the writer's level is the one
// given; the destructor restores the level and removes the sink.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/LogWriter.h"

class LogCapture {
  public:
    explicit LogCapture(int level = 10);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> Records() const;
    // How many messages of this level have exactly this text.
    size_t Count(int level, const std::string& text) const;
    bool Has(int level, const std::string& text) const { return Count(level, text) > 0; }
    // How many messages, of any level, contain the fragment.
    size_t CountContaining(const std::string& fragment) const;
    void Clear();

  private:
    class Sink;
    std::shared_ptr<Sink> m_sink;
    int m_savedLevel;
};
