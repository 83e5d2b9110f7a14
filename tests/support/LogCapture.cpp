#include "tests/support/LogCapture.h"

class LogCapture::Sink : public LogSink {
  public:
    void Write(const LogRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex);
        records.push_back(record);
    }
    mutable std::mutex mutex;
    std::vector<LogRecord> records;
};

LogCapture::LogCapture(int level)
    : m_sink(std::make_shared<Sink>()), m_savedLevel(TheLogWriter().GetLevel()) {
    TheLogWriter().AddSink(m_sink);
    TheLogWriter().SetLevel(level);
}

LogCapture::~LogCapture() {
    TheLogWriter().SetLevel(m_savedLevel);
    TheLogWriter().RemoveSink(m_sink);
}

std::vector<LogRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> guard(m_sink->mutex);
    return m_sink->records;
}

size_t LogCapture::Count(int level, const std::string& text) const {
    size_t n = 0;
    for (const LogRecord& r : Records())
        n += (r.level == level && r.text == text) ? 1 : 0;
    return n;
}

size_t LogCapture::CountContaining(const std::string& fragment) const {
    size_t n = 0;
    for (const LogRecord& r : Records())
        n += r.text.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(m_sink->mutex);
    m_sink->records.clear();
}
