// One line per key per interval.
#include "module/exports/LogThrottle.h"

bool LogThrottle::Allow(const std::string& key, Clock::time_point now) {
    MutexLock guard(m_mutex);
    auto found = m_lastLine.find(key);
    if (found != m_lastLine.end()) {
        if (now - found->second < m_interval)
            return false;
        found->second = now;
        return true;
    }
    if (m_lastLine.size() >= kMaxKeys)
        Forget(now);
    m_lastLine.emplace(key, now);
    return true;
}

void LogThrottle::Forget(Clock::time_point now) {
    for (auto it = m_lastLine.begin(); it != m_lastLine.end();)
        it = now - it->second >= m_interval ? m_lastLine.erase(it) : std::next(it);
    if (m_lastLine.size() >= kMaxKeys)
        m_lastLine.clear();
}
