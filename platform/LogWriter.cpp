// The process's log writer, its line format and its sinks.
#include "platform/LogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace {

// Trivially destructible, so it stays usable in static destructors.
thread_local unsigned long t_threadId = 0;

unsigned long KernelThreadId() {
    if (t_threadId == 0)
        t_threadId = static_cast<unsigned long>(::gettid());
    return t_threadId;
}

std::string FormatV(const char* format, va_list args) {
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < 0)
        return std::string("(bad log format) ") + format;
    if (static_cast<size_t>(needed) < sizeof(small))
        return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// The length of the valid UTF-8 sequence of two to four bytes at text[at];
// 0 when none starts there (overlong forms, surrogates and code points
// above U+10FFFF are not valid).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    auto byte = [&](size_t i) -> unsigned {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at);
    unsigned low = 0x80, high = 0xBF;  // what the second byte may be
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;    // shorter forms exist
        high = lead == 0xED ? 0x9F : high;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

void AppendHex(std::string& out, unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
}

// The text as a log line may hold it: control characters (C0, DEL and the
// C1 range U+0080-U+009F) and bytes of no valid UTF-8 sequence as \xHH,
// the backslash doubled so that an escape in the text cannot pass for one.
std::string Escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        const size_t length = c < 0x80 ? 1 : Utf8SequenceLength(text, at);
        const bool c1 = c == 0xC2 && length == 2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (length == 0) {
            AppendHex(out, c);
            ++at;
        } else if (c < 0x20 || c == 0x7F || c1) {
            for (size_t end = at + length; at < end; ++at)
                AppendHex(out, static_cast<unsigned char>(text[at]));
        } else if (c == '\\') {
            out += "\\\\";
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

// Local time, to the microsecond: "2026-12-06 07:10:40.123456".
std::string LocalTimestamp() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    char date[32];
    std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &parts);
    char stamp[48];
    std::snprintf(stamp, sizeof(stamp), "%s.%06ld", date, static_cast<long>(now.tv_usec));
    return stamp;
}

// The writer is made on first use and never freed: the extra reference held
// here keeps it alive past every static destructor of every library and for
// threads still running at exit.
std::shared_ptr<CLogWriter>& KeptWriter() {
    static auto* kept = new std::shared_ptr<CLogWriter>(std::make_shared<CLogWriter>());
    return *kept;
}

}  // namespace

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter = KeptWriter();

CLogWriter& TheLogWriter() {
    return *KeptWriter();
}

std::string LogRecord::Line() const {
    return LocalTimestamp() + ' ' + Fields();
}

std::string LogRecord::Fields() const {
    char fields[96];
    std::snprintf(fields, sizeof(fields), "tid %lu job %llu L%d ", threadId, jobId, level);
    std::string line = fields;
    line += function;
    line += ':' + std::to_string(this->line) + ' ';
    line += text;
    return line;
}

StreamLogSink::StreamLogSink(FILE* stream) : m_stream(stream), m_owned(false) {}

StreamLogSink::StreamLogSink(const std::string& path) : m_stream(nullptr), m_owned(true) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && !(m_stream = ::fdopen(fd, "a"))) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    if (!m_stream)
        throw std::system_error(errno, std::generic_category(), "cannot open log file " + path);
}

StreamLogSink::~StreamLogSink() {
    if (m_owned)
        std::fclose(m_stream);
}

void StreamLogSink::Write(const LogRecord& record) {
    if (!m_stream)
        return;
    std::string line = record.Line();
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_stream);
    std::fflush(m_stream);
}

void JournalLogSink::Write(const LogRecord& record) {
    // journald's priorities: 3 error, 6 info, 7 debug.
    int priority = record.level < 0 ? 3 : record.level <= 1 ? 6 : 7;
    std::string line = '<' + std::to_string(priority) + '>' + record.Fields() + '\n';
    std::fwrite(line.data(), 1, line.size(), m_stream);
    std::fflush(m_stream);
}

bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat status {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device &&
           status.st_ino == inode;
}

CLogWriter::CLogWriter() : m_level(1), m_sinks{std::make_shared<StreamLogSink>(stderr)} {}

void CLogWriter::Log(int level, const char* function, int line, unsigned long long jobId,
                     int /*reserved*/, const char* format, ...) {
    if (level > GetLevel())
        return;
    LogRecord record{level, function ? function : "", line, jobId, KernelThreadId(), {}};
    va_list args;
    va_start(args, format);
    record.text = Escaped(FormatV(format, args));
    va_end(args);

    MutexLock guard(m_mutex);
    for (const std::shared_ptr<LogSink>& sink : m_sinks) {
        // A failing sink must not take the caller down, nor starve the others.
        try {
            sink->Write(record);
        } catch (...) {
        }
    }
}

void CLogWriter::AddSink(std::shared_ptr<LogSink> sink) {
    if (!sink)
        return;
    MutexLock guard(m_mutex);
    m_sinks.push_back(std::move(sink));
}

void CLogWriter::RemoveSink(const std::shared_ptr<LogSink>& sink) {
    MutexLock guard(m_mutex);
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
        if (*it == sink) {
            m_sinks.erase(it);
            return;
        }
    }
}

void CLogWriter::ReplaceSink(const std::shared_ptr<LogSink>& old,
                             std::shared_ptr<LogSink> replacement) {
    MutexLock guard(m_mutex);
    for (std::shared_ptr<LogSink>& sink : m_sinks) {
        if (sink == old) {
            sink = std::move(replacement);
            return;
        }
    }
    m_sinks.push_back(std::move(replacement));
}

void CLogWriter::SetSink(std::shared_ptr<LogSink> sink) {
    MutexLock guard(m_mutex);
    m_sinks.clear();
    if (sink)
        m_sinks.push_back(std::move(sink));
}
